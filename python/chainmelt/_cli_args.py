"""Usage errors of the command lines as one line each, with a suggestion
where a word was misspelt."""

from __future__ import annotations

import argparse

from ._fields import suggestion


class _UsageError(Exception):
    pass


def _unknown_arguments(parser, extra):
    """The message of arguments a parser does not know: the first unknown
    option with the option it may have meant."""
    options = [o for o in parser._option_string_actions if o.startswith("--")]
    for word in extra:
        if word.startswith("-") and len(word) > 1:
            name = word.partition("=")[0]
            return "unknown option %s%s; see '%s --help'" % (
                name, suggestion(name, options), parser.prog)
    return "unexpected argument%s: %s" % ("s" if len(extra) > 1 else "", " ".join(extra))


def _explain(parser, message):
    """argparse's message, with a suggestion where a word was misspelt."""
    if message.startswith("unrecognized arguments: "):
        return _unknown_arguments(parser, message[len("unrecognized arguments: "):].split())
    if "invalid choice: " in message:
        word = message.split("invalid choice: ", 1)[1].split(" (choose from", 1)[0]
        word = word.strip("'\"")
        choices = [a.choices for a in parser._actions if a.choices]
        for c in choices:
            hint = suggestion(word, c)
            if hint and word not in c:
                return message + hint
    return message


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _UsageError(_explain(self, message))


def error_text(e: BaseException) -> str:
    """The one-line text of an error: an OSError as ``PATH: reason``,
    without its errno number."""
    if isinstance(e, OSError) and e.strerror:
        where = e.filename if e.filename is not None else None
        return "%s: %s" % (where, e.strerror) if where else e.strerror
    return str(e)
