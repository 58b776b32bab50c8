#!/usr/bin/env bash
# The local server under hostile and buggy peers: the built program runs on 127.0.0.1 with a
# throwaway home, and bench/local_abuse.py tries it phase after phase (idle connections up to the
# descriptor limit, slow heads and bodies, half-closed large looks, readers that never read a large
# inbox file, 10,000 parked long-polls) while one well-behaved client keeps asking. Prints one table
# and stops by itself (about 70 s). Exits non-zero only when it could not run.
# Usage: bench/local_abuse.sh [build dir]   (PARKED=10000, PHASE_SECONDS=10 by default)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
program=$build/tonewharf
python=${PYTHON:-/usr/bin/python3}

for tool in "$python" "$program" ss; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
if [ "$(ulimit -Hn)" != unlimited ] && [ "$(ulimit -Hn)" -lt $((${PARKED:-10000} + 2000)) ]; then
    echo "the hard open-file limit $(ulimit -Hn) is too low for ${PARKED:-10000} parked requests" >&2
    exit 1
fi

work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

lut=$work/resolve/LUT/Tonewharf
inbox=$lut/"To TINTARA"
mkdir -p "$inbox" "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
"$python" -c 'import sys; open(sys.argv[1], "w").write("LUT_3D_SIZE 2\n" + "0.5 0.5 0.5\n" * 8)' "$inbox/Small.cube"
"$python" -c 'import sys; open(sys.argv[1], "w").write("LUT_3D_SIZE 65\n" + "0.125000 0.250000 0.500000\n" * 274625)' "$inbox/Big.cube"

# The program starts at the common soft limit and raises it to the hard limit itself.
nowhere=unix:path=$work/runtime/no-bus
(
    ulimit -Sn 1024
    exec env HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share" \
        XDG_CACHE_HOME="$work/home/.cache" XDG_STATE_HOME="$work/home/.local/state" XDG_RUNTIME_DIR="$work/runtime" \
        QT_QPA_PLATFORM=offscreen TONEWHARF_CLOUD_URL=http://127.0.0.1:9 TONEWHARF_RESOLVE_DIR="$work/resolve" \
        TONEWHARF_LISTEN_ADDRESS=127.0.0.1 DBUS_SYSTEM_BUS_ADDRESS="$nowhere" DBUS_SESSION_BUS_ADDRESS="$nowhere" \
        "$program" >"$work/program.log" 2>&1
) &
pid=$!
port=
for _ in $(seq 100); do
    port=$(ss -Hltnp | sed -n "s/.*127\.0\.0\.1:\([0-9]*\) .*pid=$pid,.*/\1/p" | head -n1)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "the program did not listen" >&2; exit 1; }
echo "tonewharf pid $pid on 127.0.0.1:$port; descriptor limit $(awk '/Max open files/ {print $4 " (soft) " $5 " (hard)"}' /proc/$pid/limits)"

"$python" "$here/local_abuse.py" "$pid" "$port" "$inbox" "$lut"
