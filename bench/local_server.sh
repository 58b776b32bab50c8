#!/usr/bin/env bash
# The built program's local server measured from outside on 127.0.0.1 (bench/local_server.py):
# launch to the port listening, GET /v1/hello against nginx, 10,000 parked GET /v1/inbox and a
# 64 MiB POST /v1/luts through to the file written. Prints one table.
# Usage: bench/local_server.sh [build dir]   (WRK_DURATION=10s, PARKED=10000, LAUNCHES=10 by default;
# PARTS=launch,hello,parked,large runs only some)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
python=${PYTHON:-/usr/bin/python3}

for tool in wrk nginx "$python" "$build/tonewharf" "$build/bench/parked_inbox_client" "$build/bench/bare_answer_server"; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
# 10,000 parked requests need more than 10,000 descriptors on each side; the program raises its
# own limit to the hard limit.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt $((${PARKED:-10000} + 256)) ]; then
    echo "open-file limit $(ulimit -n) is too low for ${PARKED:-10000} parked requests" >&2
    exit 1
fi
exec "$python" "$here/local_server.py" "$build"
