"""A stand-in for Resolve's scripting module in a fake Resolve at <root>/Developer/Scripting/Modules.
<root>/fake_resolve.json, read on every call, steers it: "mode" ("answer", "refuse": scriptapp
answers None, "unavailable": the import fails, "raise"), "version", "project", "clip" (str or null),
"refresh_result", "chatty" (prints to stdout), "grade", "export_result". It records its environment
at import in fake_resolve_env.json and its calls in fake_resolve_calls.log.
"""

import json
import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def _control(key, default=None):
    try:
        with open(os.path.join(_ROOT, "fake_resolve.json"), encoding="utf-8") as handle:
            return json.load(handle).get(key, default)
    except (OSError, ValueError):
        return default


def _record(what):
    with open(os.path.join(_ROOT, "fake_resolve_calls.log"), "a", encoding="utf-8") as handle:
        handle.write(what + "\n")
    # Resolve's own module and library print now and then, from Python and from C.
    if what in ("import", "scriptapp") and _control("chatty"):
        print("fake module says hello from " + what)
        sys.stdout.flush()
        os.write(1, b'{"id": 1, "ok": true, "from": "native chatter"}\n')


_NAMES = ("RESOLVE_SCRIPT_API", "RESOLVE_SCRIPT_LIB", "PYTHONPATH", "PYTHONUNBUFFERED")
with open(os.path.join(_ROOT, "fake_resolve_env.json"), "w", encoding="utf-8") as _handle:
    json.dump({name: os.environ.get(name) for name in _NAMES}, _handle)
_record("import")
if _control("mode") == "unavailable":
    raise ImportError("fusionscript could not be loaded")
# The real module loads the library RESOLVE_SCRIPT_LIB names; so does this one, in spirit.
if not os.path.isfile(os.environ.get("RESOLVE_SCRIPT_LIB", "")):
    raise ImportError("RESOLVE_SCRIPT_LIB does not name a file")


class _Item:
    def __init__(self, name):
        self.GetName = lambda: name

    def ExportLUT(self, export_type, path):
        size = {501: 17, 502: 33, 503: 65}.get(export_type)
        _record("export %s %s" % (size, path))
        if size is not None:  # written even when the export then reports failure
            with open(path, "w", encoding="utf-8") as handle:
                handle.write("LUT_3D_SIZE %d\n%s\n" % (size, _control("grade", "0 0 0")))
        return size is not None and _control("export_result", True)


def _named(key, default, make):
    name = _control(key, default)
    return None if name is None else make(name)


class _Project:
    def __init__(self, name):
        self.GetName = lambda: name

    def GetCurrentTimeline(self):  # the project stands in for its timeline too
        return self

    def GetCurrentVideoItem(self):
        return _named("clip", "A001_C002", _Item)

    def RefreshLUTList(self):
        _record("refresh")
        return _control("refresh_result", True)


class _Resolve:
    EXPORT_LUT_17PTCUBE, EXPORT_LUT_33PTCUBE, EXPORT_LUT_65PTCUBE = 501, 502, 503

    def GetProductName(self):
        return "DaVinci Resolve Studio"

    def GetVersionString(self):
        return _control("version", "19.1.3.7")

    def GetProjectManager(self):
        return self

    def GetCurrentProject(self):  # Resolve stands in for its project manager
        return _named("project", "Untitled Project", _Project)


def scriptapp(name):
    _record("scriptapp")
    mode = _control("mode", "answer")
    if mode == "raise":
        raise RuntimeError("fake scripting failure")
    return None if mode == "refuse" or name != "Resolve" else _Resolve()
