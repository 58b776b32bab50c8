"""A bridge answering from script.json beside it, read for every request: {"<cmd>": {"reply": {...}
(given the request's id unless it has one), "delay": seconds, "before": [lines], "exit": bool, "pad":
n (a key of n characters added), "split": bool (sent in two pieces)}}. requests.log gets the time
and text of each line received, launches.log the time of each start.
"""

import json
import os
import sys
import time

_HERE = os.path.dirname(os.path.abspath(__file__))


def _append(name, line):
    with open(os.path.join(_HERE, name), "a", encoding="utf-8") as handle:
        handle.write("%.3f %s\n" % (time.monotonic(), line))


def main():
    _append("launches.log", "")
    for raw in sys.stdin.buffer:
        line = raw.decode("utf-8", "replace").rstrip("\n")
        _append("requests.log", line)
        try:
            request = json.loads(line)
            with open(os.path.join(_HERE, "script.json"), encoding="utf-8") as handle:
                step = json.load(handle)[request["cmd"]]
        except (OSError, ValueError, KeyError, TypeError):
            continue
        time.sleep(float(step.get("delay", 0)))
        for extra in step.get("before", []):
            sys.stdout.write(extra + "\n")
        if "reply" in step:
            reply = dict(step["reply"], pad="x" * step["pad"]) if step.get("pad") else dict(step["reply"])
            reply.setdefault("id", request.get("id"))
            text = json.dumps(reply) + "\n"
            if step.get("split"):
                # A pause between two halves, so that the reader sees half a line first.
                sys.stdout.write(text[: len(text) // 2])
                sys.stdout.flush()
                time.sleep(0.1)
                text = text[len(text) // 2 :]
            sys.stdout.write(text)
        sys.stdout.flush()
        if step.get("exit"):
            return 4
    return 0


if __name__ == "__main__":
    sys.exit(main())
