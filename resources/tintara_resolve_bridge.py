#!/usr/bin/env python3
"""Bridge between Tonewharf and DaVinci Resolve's scripting interface.

Reads one JSON request per line on standard input ({"id", "cmd", "args"}) and answers each on
standard output with one JSON object per line carrying the same "id". Resolve may start, quit
and start again while the bridge runs: every request reaches for Resolve afresh, and no single
request, however it fails, ends the bridge. Only the end of standard input does.
"""

import json
import os
import sys

_script_module = None


def _load_script_module():
    """DaVinciResolveScript, or (None, reason) when it cannot be loaded right now."""
    global _script_module
    if _script_module is not None:
        return _script_module, None
    try:
        import DaVinciResolveScript  # found through PYTHONPATH
    except BaseException as error:  # the module may even call sys.exit() when its library is missing
        if isinstance(error, KeyboardInterrupt):
            raise
        detail = str(error) or type(error).__name__
        return None, "DaVinciResolveScript could not be loaded: " + detail
    _script_module = DaVinciResolveScript
    return _script_module, None


def _failure(code, message):
    return {"ok": False, "code": code, "error": message}


def _connect():
    """The Resolve object, or a failure reply."""
    module, reason = _load_script_module()
    if module is None:
        return None, _failure("scripting_unavailable", reason)
    resolve = module.scriptapp("Resolve")
    if resolve is None:
        return None, _failure("not_connected", "DaVinci Resolve does not answer")
    return resolve, None


def _string_or_none(value):
    return value if isinstance(value, str) else None


def _current_project(resolve):
    manager = resolve.GetProjectManager()
    if manager is None:
        return None
    return manager.GetCurrentProject()


def status(_args):
    resolve, failure = _connect()
    if failure is not None:
        return failure
    product = _string_or_none(resolve.GetProductName())
    version = _string_or_none(resolve.GetVersionString())
    if product is None and version is None:
        # A handle left over from a Resolve that has gone answers nothing.
        return _failure("not_connected", "DaVinci Resolve does not answer")
    project = _current_project(resolve)
    name = _string_or_none(project.GetName()) if project is not None else None
    result = {"product": product or "DaVinci Resolve", "version": version or "", "project": name or ""}
    return {"ok": True, "result": result}


def refresh_luts(_args):
    resolve, failure = _connect()
    if failure is not None:
        return failure
    project = _current_project(resolve)
    if project is None:
        return _failure("no_project", "no project is open in DaVinci Resolve")
    if project.RefreshLUTList() is True:
        return {"ok": True}
    return _failure("refresh_failed", "DaVinci Resolve did not refresh its LUT list")


COMMANDS = {"status": status, "refresh_luts": refresh_luts}


def _request_id(request):
    if not isinstance(request, dict):
        return None
    value = request.get("id")
    if isinstance(value, bool) or not isinstance(value, int):
        return None
    return value


def handle(line):
    """The reply to one request line, or None when the line carries no usable id."""
    try:
        request = json.loads(line.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):  # nesting too deep raises the last
        return None
    request_id = _request_id(request)
    if request_id is None:
        return None
    name = request.get("cmd")
    args = request.get("args")
    if not isinstance(name, str):
        reply = _failure("bad_request", "cmd must be a string")
    elif name not in COMMANDS:
        reply = _failure("unknown_command", "unknown command: %r" % (name,))
    elif args is not None and not isinstance(args, dict):
        reply = _failure("bad_request", "args must be an object")
    else:
        try:
            reply = COMMANDS[name](args or {})
        except BaseException as error:
            if isinstance(error, KeyboardInterrupt):
                raise
            reply = _failure("error", "%s: %s" % (type(error).__name__, error))
    reply["id"] = request_id
    return reply


def _claim_protocol_channel():
    """A private copy of standard output for replies; everything else goes to standard error.

    Resolve's scripting module and its native library may print to standard output, from Python
    or from C; none of that may end up between the replies.
    """
    channel = os.fdopen(os.dup(sys.stdout.fileno()), "w", encoding="utf-8", newline="\n")
    sys.stdout.flush()
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    sys.stdout = sys.stderr
    return channel


def main():
    stdin = sys.stdin.buffer
    stdout = _claim_protocol_channel()
    # Loading early makes a missing or broken scripting module show at once; a failure here
    # is retried with every request.
    _load_script_module()
    while True:
        line = stdin.readline()
        if not line:
            return 0
        if not line.strip():
            continue
        try:
            reply = handle(line)
        except Exception:  # a request nobody foresaw is dropped; it must not end the bridge
            continue
        if reply is None:
            continue
        try:
            text = json.dumps(reply, separators=(",", ":"))
        except (TypeError, ValueError) as error:
            text = json.dumps({"id": reply["id"], "ok": False, "code": "error", "error": str(error)})
        try:
            stdout.write(text + "\n")
            stdout.flush()
        except (BrokenPipeError, OSError):
            return 0


if __name__ == "__main__":
    sys.exit(main())
