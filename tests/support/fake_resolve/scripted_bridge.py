"""A bridge answering from script.json beside it, read for every request: {"<cmd>": {"reply": {...}
(given the request's id unless it has one), "delay": seconds, "before": [lines], "exit": bool, "pad":
n (a key of n characters added), "split": bool (its last 1000 characters sent after a pause)}}.
requests.log gets the time and text of each line received.
"""

import json
import os
import sys
import time

_HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    for raw in sys.stdin.buffer:
        line = raw.decode("utf-8", "replace").rstrip("\n")
        with open(os.path.join(_HERE, "requests.log"), "a", encoding="utf-8") as log:
            log.write("%.3f %s\n" % (time.monotonic(), line))
        try:
            with open(os.path.join(_HERE, "script.json"), encoding="utf-8") as handle:
                step = json.load(handle)[json.loads(line)["cmd"]]
        except (OSError, ValueError, KeyError, TypeError):
            continue
        time.sleep(float(step.get("delay", 0)))
        text = "".join(extra + "\n" for extra in step.get("before", []))
        if "reply" in step:
            reply = dict(step["reply"], pad="x" * step["pad"]) if step.get("pad") else dict(step["reply"])
            text += json.dumps(dict({"id": json.loads(line).get("id")}, **reply)) + "\n"
        if step.get("split"):
            # The reader sees all but the end of the line first.
            sys.stdout.write(text[:-1000])
            sys.stdout.flush()
            time.sleep(0.1)
            text = text[-1000:]
        sys.stdout.write(text)
        sys.stdout.flush()
        if step.get("exit"):
            return 4
    return 0


sys.exit(main())
