"""A stand-in for DaVinci Resolve's scripting module, installed in a fake Resolve at
<root>/Developer/Scripting/Modules and steered by <root>/fake_resolve.json, read on every call:

    {"mode": "answer" | "refuse" (scriptapp answers None) | "unavailable" (the import fails) |
             "raise" | "hang" | "exit" (ends python at import and at every call),
     "product", "version", "project", "timeline", "clip": str or null, "refresh_result": any,
     "hang_seconds": number, "chatty": bool (prints at import and in scriptapp), "grade": str,
     "export_result": bool}

It records the environment at import (fake_resolve_env.json) and one line per call in
fake_resolve_calls.log: "import", "scriptapp", "refresh", "export <size> <path>". ExportLUT
writes a cube of the type's size whose one table line is "grade".
"""

import json
import os
import sys
import time

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def _control():
    try:
        with open(os.path.join(_ROOT, "fake_resolve.json"), encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return {"mode": "answer"}


def _record(what):
    with open(os.path.join(_ROOT, "fake_resolve_calls.log"), "a", encoding="utf-8") as handle:
        handle.write(what + "\n")


def _record_environment():
    names = ("RESOLVE_SCRIPT_API", "RESOLVE_SCRIPT_LIB", "PYTHONPATH", "PYTHONUNBUFFERED")
    seen = {name: os.environ.get(name) for name in names}
    with open(os.path.join(_ROOT, "fake_resolve_env.json"), "w", encoding="utf-8") as handle:
        json.dump(seen, handle)


def _chatter(where):
    # Resolve's own module and library print now and then, from Python and from C.
    if _control().get("chatty"):
        print("fake module says hello from " + where)
        sys.stdout.flush()
        os.write(1, b'{"id": 1, "ok": true, "from": "native chatter"}\n')


_record_environment()
_record("import")
_chatter("import")
_mode = _control().get("mode", "answer")
if _mode == "exit":
    os._exit(3)
if _mode == "unavailable":
    raise ImportError("fusionscript could not be loaded")
# The real module loads the library RESOLVE_SCRIPT_LIB names; so does this one, in spirit.
if not os.path.isfile(os.environ.get("RESOLVE_SCRIPT_LIB", "")):
    raise ImportError("RESOLVE_SCRIPT_LIB does not name a file")


# Stand-ins for resolve.EXPORT_LUT_*, with the edge length each exports.
_LUT_SIZES = {501: 17, 502: 33, 503: 65}


class _TimelineItem:
    def __init__(self, name):
        self._name = name

    def GetName(self):
        return self._name

    def ExportLUT(self, export_type, path):
        size = _LUT_SIZES.get(export_type)
        _record("export %s %s" % (size, path))
        if size is None or not _control().get("export_result", True):
            return False
        with open(path, "w", encoding="utf-8") as handle:
            handle.write("LUT_3D_SIZE %d\n%s\n" % (size, _control().get("grade", "0 0 0")))
        return True


class _Timeline:
    def GetCurrentVideoItem(self):
        name = _control().get("clip", "A001_C002")
        return None if name is None else _TimelineItem(name)


class _Project:
    def __init__(self, name):
        self._name = name

    def GetName(self):
        return self._name

    def GetCurrentTimeline(self):
        return None if _control().get("timeline", "Timeline 1") is None else _Timeline()

    def RefreshLUTList(self):
        _record("refresh")
        return _control().get("refresh_result", True)


class _ProjectManager:
    def GetCurrentProject(self):
        name = _control().get("project", "Untitled Project")
        return None if name is None else _Project(name)


class _Resolve:
    EXPORT_LUT_17PTCUBE, EXPORT_LUT_33PTCUBE, EXPORT_LUT_65PTCUBE = 501, 502, 503

    def GetProductName(self):
        return _control().get("product", "DaVinci Resolve Studio")

    def GetVersionString(self):
        return _control().get("version", "19.1.3.7")

    def GetProjectManager(self):
        return _ProjectManager()


def scriptapp(name):
    _record("scriptapp")
    _chatter("scriptapp")
    control = _control()
    mode = control.get("mode", "answer")
    if mode == "exit":
        os._exit(3)
    if mode == "raise":
        raise RuntimeError("fake scripting failure")
    if mode == "hang":
        time.sleep(float(control.get("hang_seconds", 3600)))
        return None
    if mode == "refuse" or name != "Resolve":
        return None
    return _Resolve()
