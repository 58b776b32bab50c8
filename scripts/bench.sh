#!/usr/bin/env bash
# Builds in Release, runs every benchmark under bench/ and prints one table: each figure beside its
# reference from the same run, the ratio, the target and whether it holds. Needs no argument and
# stops by itself within 10 minutes. Exits non-zero only when a benchmark could not run; a missed
# target is reported in the table, not as an error. Each benchmark's own output is kept in
# build/bench-results/ (bench/README.md tells how each figure is measured).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

deadline=$((SECONDS + 590))
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
install_packages
cmake -S "$TONEWHARF_ROOT" -B "$TONEWHARF_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$TONEWHARF_BUILD" --target tonewharf parked_inbox_client bare_answer_server inbox_scan_harness bench_engine_latency \
    bench_engine_inbox bench_still bench_event_stream

results="$TONEWHARF_BUILD/bench-results"
rm -rf "$results"
mkdir -p "$results"
failed=()
# run NAME LIMIT_SECONDS COMMAND...: the output goes to $results/NAME.log; a benchmark that fails or
# outlasts its limit (or what is left of the 10 minutes) is named at the end.
run() {
    local name=$1 limit=$2
    shift 2
    local left=$((deadline - SECONDS))
    ((limit < left)) || limit=$left
    echo "running $name (at most $limit s)"
    if ((limit <= 0)) || ! timeout --kill-after=5 "$limit" "$@" >"$results/$name.log" 2>&1; then
        failed+=("$name")
    fi
}
bench_json() {
    local name=$1
    shift
    run "$name" "$@" --benchmark_out="$results/$name.json" --benchmark_out_format=json
}

cd "$TONEWHARF_ROOT"
run local_server 180 bash bench/local_server.sh "$TONEWHARF_BUILD"
bench_json engine_latency 90 "$TONEWHARF_BUILD/bench/bench_engine_latency"
bench_json engine_inbox 90 "$TONEWHARF_BUILD/bench/bench_engine_inbox"
bench_json still 90 "$TONEWHARF_BUILD/bench/bench_still" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true
bench_json event_stream 60 "$TONEWHARF_BUILD/bench/bench_event_stream" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true
run inbox_hash 150 bash bench/inbox_hash.sh "$TONEWHARF_BUILD"
run local_abuse 150 bash bench/local_abuse.sh "$TONEWHARF_BUILD"

echo
python3 bench/summary.py "$results" || failed+=("(figures missing from the table)")
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
if ((${#failed[@]} > 0)); then
    echo "could not run: ${failed[*]}; the output of each is in $results" >&2
    exit 1
fi
