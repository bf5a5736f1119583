"""Checks of a results directory against what runs.tsv records: every line
of runs.tsv carries a checksum of itself, every chunk of records.tsv.gz its
byte length and checksum on the lines of its runs."""

from __future__ import annotations

import dataclasses
import zlib

from .plan import ScanError


def crc(data: bytes) -> str:
    return "%08x" % (zlib.crc32(data) & 0xFFFFFFFF)


def seal(fields: list) -> str:
    """A line of runs.tsv: its fields, then the checksum of the text before it."""
    text = "\t".join(fields) + "\t"
    return text + crc(text.encode("utf-8")) + "\n"


def chunk_text(member: bytes | None) -> str:
    """The chunk field of a run's line: LENGTH:CHECKSUM of the gzip member
    holding its records, or "-" without one."""
    return "-" if not member else "%d:%s" % (len(member), crc(member))


@dataclasses.dataclass
class Line:
    """A sound line of runs.tsv."""

    number: int          # its line number in the file, from 1
    fields: list
    end: int             # records_end
    chunk: tuple | None  # (length, checksum) or None
    records: int         # how many records the run wrote

    @property
    def key(self) -> str:
        return self.fields[1]


def parse_runs(data: bytes, header: str | None, path: str, strict: bool) -> tuple:
    """(header, [Line], damaged line numbers, length of the complete lines).

    A line that fails its checksum or repeats a key counts as damaged; with
    ``strict`` the first such line raises ScanError naming it.  The text
    after the last newline is a line being written when the scan stopped,
    not damage."""
    cut = data.rfind(b"\n") + 1
    raw = data[:cut].split(b"\n")[:-1]
    if not raw:
        return None, [], [], cut
    try:
        first = raw[0].decode("utf-8")
    except UnicodeDecodeError:
        raise ScanError("%s, line 1: the header is damaged (not UTF-8)" % path) from None
    if header is not None and first + "\n" != header:
        return first, None, [], cut
    width = first.count("\t") + 1
    lines, damaged, keys = [], [], set()
    for n, line in enumerate(raw[1:], 2):
        why = _check(line, width)
        parts = None
        if why is None:
            parts = line.decode("utf-8").split("\t")
            if parts[1] in keys:
                why = "repeats the run %s of an earlier line" % parts[1]
        if why is not None:
            if strict:
                raise ScanError("%s, line %d (offset %d): %s" % (path, n, _offset(raw, n), why))
            damaged.append(n)
            continue
        assert parts is not None
        keys.add(parts[1])
        chunk = None if parts[-2] == "-" else tuple(parts[-2].split(":"))
        lines.append(Line(n, parts[:-1], int(parts[-3]),
                          None if chunk is None else (int(chunk[0]), chunk[1]), int(parts[-7])))
    return first, lines, damaged, cut


def _offset(raw, n):
    return sum(len(x) + 1 for x in raw[:n - 1])


def _check(line, width):
    body, tab, check = line.rpartition(b"\t")
    if not tab or crc(body + b"\t") != check.decode("ascii", "replace"):
        return "damaged (its checksum does not match)"
    try:
        parts = line.decode("utf-8").split("\t")
    except UnicodeDecodeError:
        return "damaged (not UTF-8)"
    if len(parts) != width:
        return "has %d fields, the header %d" % (len(parts), width)
    try:
        if int(parts[-7]) < 0:
            raise ValueError
        end = int(parts[-3])
        chunk = parts[-2]
        if chunk != "-":
            length, _, _ = chunk.partition(":")
            if int(length) <= 0 or int(length) > end:
                raise ValueError
    except ValueError:
        return "records %r, records_end %r or chunk %r is not valid" % (
            parts[-7], parts[-3], parts[-2])
    return None


def first_member(data: bytes) -> tuple:
    """(text, length) of the first gzip member of ``data``; ValueError when
    it is damaged or cut."""
    d = zlib.decompressobj(wbits=31)
    try:
        text = d.decompress(data)
    except zlib.error as e:
        raise ValueError(str(e)) from None
    if not d.eof:
        raise ValueError("cut short")
    return text.decode("utf-8", errors="replace"), len(data) - len(d.unused_data)


def check_chunks(data: bytes, start: int, lines: list) -> tuple:
    """(sound end, problem): the chunks named by ``lines`` checked in order
    from ``start`` (the end of the header member); the sound end is where
    the first chunk that is missing, cut, damaged or holding records of runs
    not in ``lines`` begins (or the end of the last chunk), the problem says
    what is wrong there (None: nothing)."""
    counts: dict = {}
    for ln in lines:
        if ln.chunk is not None:
            key = (ln.end, ln.chunk)
            counts[key] = counts.get(key, 0) + ln.records
    at = start
    for (end, (length, check)), count in sorted(counts.items()):
        begin = end - length
        if begin != at:
            return at, "offset %d: a chunk of %d bytes expected to start at %d" % (
                at, length, begin) if begin > at else "offset %d: chunks overlap" % begin
        if end > len(data):
            return at, "offset %d: the file ends at %d inside a chunk ending at %d" % (
                begin, len(data), end)
        if crc(data[begin:end]) != check:
            return at, "offset %d: the chunk of %d bytes does not match its checksum" % (
                begin, length)
        try:
            held = zlib.decompress(data[begin:end], wbits=31).count(b"\n")
        except zlib.error:
            held = -1
        if held != count:
            return at, ("offset %d: the chunk holds %d records, its runs in runs.tsv %d "
                        "(lines of runs.tsv are missing)" % (begin, held, count))
        at = end
    return at, None
