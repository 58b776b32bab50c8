#!/usr/bin/env bash
# The engine's inbox scan against `openssl dgst -sha256` over the same cube files, in one run.
# Usage: bash bench/inbox_hash.sh [build dir]
# INBOX_MIB (default 1024) sizes the inbox; ROUNDS (default 3) sets the number of rounds.
set -euo pipefail

build=${1:-build}
harness=$build/bench/inbox_scan_harness
mib=${INBOX_MIB:-1024}
rounds=${ROUNDS:-3}
[[ -x $harness ]] || { echo "build $harness first (ninja -C $build inbox_scan_harness)" >&2; exit 1; }
command -v openssl >/dev/null || { echo "openssl is needed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
inbox="$work/LUT/To TINTARA"
mkdir -p "$inbox"
echo "inbox: $("$harness" make "$inbox" "$mib")"
files=("$inbox"/*.cube)
bytes=$(cat "${files[@]}" | wc -c)

# Both read from the page cache, so that the disk decides neither figure.
warm() { cat "${files[@]}" >/dev/null; cat "${files[@]}" >/dev/null; }
# "WALL CPU" in seconds; CPU is user plus system time, which the other builds on the machine
# disturb far less than the wall clock.
time_openssl() {
    local TIMEFORMAT='%R %U %S'
    { time openssl dgst -sha256 -r "$@" >"$work/openssl.txt"; } 2>&1 | awk '{ printf "%s %.3f", $1, $2 + $3 }'
}
time_scan() {
    "$harness" scan "$work/LUT" >"$work/scan.txt"
    awk 'NR == 1 { print $2, $4 }' "$work/scan.txt"
}
# The same digests, or the comparison means nothing.
same_digests() {
    cmp -s <(awk '{ print $1 }' "$work/openssl.txt" | sort) <(awk 'NR > 1 { print $1 }' "$work/scan.txt" | sort)
}

openssl_start=$(time_openssl /dev/null)

printf '%s\n' "| round | load average | openssl dgst -sha256, wall (CPU) | engine scan, wall (CPU) | engine / openssl throughput, wall (CPU) | scan bytes read / inbox bytes |"
printf '%s\n' "|---|---|---|---|---|---|"
for round in $(seq "$rounds"); do
    warm
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    # Alternate the order, so that neither always runs on the warmer cache.
    if ((round % 2)); then
        openssl_s=$(time_openssl "${files[@]}")
        scan_s=$(time_scan)
    else
        scan_s=$(time_scan)
        openssl_s=$(time_openssl "${files[@]}")
    fi
    same_digests || { echo "the scan's digests differ from openssl's" >&2; exit 1; }
    read_bytes=$(awk 'NR == 1 { print $6 }' "$work/scan.txt")
    awk -v round="$round" -v load="$load" -v o="$openssl_s" -v s="$scan_s" -v b="$bytes" -v r="$read_bytes" \
        'BEGIN { split(o, ot, " "); split(s, st, " ")
                 printf "| %d | %s | %.3f s = %.2f GB/s (%.3f s) | %.3f s = %.2f GB/s (%.3f s) | %.2f (%.2f) | %.3f |\n",
                        round, load, ot[1], b / ot[1] / 1e9, ot[2], st[1], b / st[1] / 1e9, st[2],
                        ot[1] / st[1], ot[2] / st[2], r / b }'
    echo "$openssl_s $scan_s" >>"$work/rounds.txt"
done
echo "inbox $bytes bytes in ${#files[@]} files; openssl on an empty input, wall (CPU): $openssl_start s"
# For scripts/bench.sh: the median round's wall-clock throughput of each, in GB/s.
sort -n -k1,1 "$work/rounds.txt" | awk -v b="$bytes" '{ o[NR] = $1 } END { printf "figure\thash_openssl_gbps\t%.4f\n", b / o[int((NR + 1) / 2)] / 1e9 }'
sort -n -k3,3 "$work/rounds.txt" | awk -v b="$bytes" '{ s[NR] = $3 } END { printf "figure\thash_engine_gbps\t%.4f\n", b / s[int((NR + 1) / 2)] / 1e9 }'
