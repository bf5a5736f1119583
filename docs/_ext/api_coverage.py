"""Every public function and class of the package has its entry in the API reference.

The public names are those in ``__all__`` of ``chainmelt``, ``chainmelt.scan``,
``chainmelt.dsc`` and ``chainmelt.lattice`` and the functions defined in
``chainmelt.plot`` and ``chainmelt.plot.scan``.  An object counts as documented
under any of its names.  One missing (a new function without a docstring, or
one the reference does not list) is a warning, so the build with warnings as
errors fails until it is documented.
"""

import importlib
import inspect

from sphinx.util import logging

logger = logging.getLogger(__name__)

_ALL = ("chainmelt", "chainmelt.scan", "chainmelt.dsc", "chainmelt.lattice")
_DEFINED = ("chainmelt.plot", "chainmelt.plot.scan")


def _module(name):
    importlib.import_module(name)
    # chainmelt.scan is also the name of a function in chainmelt: take the module.
    import sys
    return sys.modules[name]


def public_objects():
    """{id: (name, object)} of every public function and class."""
    out = {}
    for name in _ALL:
        module = _module(name)
        for attr in getattr(module, "__all__", ()):
            obj = getattr(module, attr, None)
            if inspect.isfunction(obj) or inspect.isclass(obj):
                out.setdefault(id(obj), ("%s.%s" % (name, attr), obj))
    for name in _DEFINED:
        module = _module(name)
        for attr, obj in vars(module).items():
            if attr.startswith("_") or not (inspect.isfunction(obj) or inspect.isclass(obj)):
                continue
            if getattr(obj, "__module__", None) == module.__name__:
                out.setdefault(id(obj), ("%s.%s" % (name, attr), obj))
    return out


def _resolve(fullname):
    parts = fullname.split(".")
    for cut in range(len(parts) - 1, 0, -1):
        try:
            obj = _module(".".join(parts[:cut]))
        except ImportError:
            continue
        try:
            for attr in parts[cut:]:
                obj = getattr(obj, attr)
        except AttributeError:
            return None
        return obj
    return None


def check(app, env):
    documented = set()
    for fullname in env.get_domain("py").objects:
        obj = _resolve(fullname)
        if obj is not None:
            documented.add(id(obj))
    for key, (name, _) in sorted(public_objects().items(), key=lambda kv: kv[1][0]):
        if key not in documented:
            logger.warning("API reference: %s is public but has no entry (give it a "
                           "docstring, or list it in docs/api.rst)", name)


def setup(app):
    app.connect("env-check-consistency", check)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
