"""A bridge with scripted answers, installed as "tintara_resolve_bridge.py" in a folder of its own.
script.json beside it (read for every request) says how to answer each command:

    {"exit_at_start": bool,
     "<cmd>": {"reply": {...}, "copies": n, "delay": seconds, "before": ["line", ...],
               "pad": n (a key of n characters added), "split": bool (sent in two pieces), "exit": bool}}

The reply gets the request's "id" unless it has its own; a command without an entry gets no
answer. Each line received goes to requests.log, its monotonic time to request_times.log, and the
time of each start to launches.log.
"""

import json
import os
import sys
import time

_HERE = os.path.dirname(os.path.abspath(__file__))


def _append(name, line):
    with open(os.path.join(_HERE, name), "a", encoding="utf-8") as handle:
        handle.write(line + "\n")


def _script():
    try:
        with open(os.path.join(_HERE, "script.json"), encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return {}


def main():
    _append("launches.log", "%.3f" % time.monotonic())
    if _script().get("exit_at_start"):
        return 3
    for raw in sys.stdin.buffer:
        line = raw.decode("utf-8", "replace").rstrip("\n")
        _append("requests.log", line)
        _append("request_times.log", "%.3f" % time.monotonic())
        try:
            request = json.loads(line)
        except ValueError:
            continue
        step = _script().get(request.get("cmd"))
        if not isinstance(step, dict):
            continue
        if step.get("delay"):
            time.sleep(float(step["delay"]))
        for extra in step.get("before", []):
            sys.stdout.write(extra + "\n")
        if "reply" in step:
            reply = dict(step["reply"])
            reply.setdefault("id", request.get("id"))
            if step.get("pad"):
                reply["pad"] = "x" * int(step["pad"])
            text = json.dumps(reply) + "\n"
            for _ in range(int(step.get("copies", 1))):
                if step.get("split"):
                    # Two writes with a pause between, so that the reader sees half a line first.
                    half = len(text) // 2
                    sys.stdout.write(text[:half])
                    sys.stdout.flush()
                    time.sleep(0.2)
                    text = text[half:]
                sys.stdout.write(text)
        sys.stdout.flush()
        if step.get("exit"):
            return 4
    return 0


if __name__ == "__main__":
    sys.exit(main())
