#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang and runs each for SECONDS (default 60) on a
# working copy of its seed corpus under the build folder; the seeds in fuzz/corpus stay as they are.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (every target when none is named)
# Exits non-zero when a target fails; the input that made it fail is left in
# build-fuzz/findings/TARGET/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages

seconds=${1:-60}
shift || true
build=${TONEWHARF_FUZZ_BUILD:-$TONEWHARF_ROOT/build-fuzz}

cmake -S "$TONEWHARF_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DTONEWHARF_FUZZ=ON -DTONEWHARF_WERROR=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in "$TONEWHARF_ROOT"/fuzz/fuzz_*.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi

failed=()
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    findings=$build/findings/$target
    mkdir -p "$corpus" "$findings"
    # New inputs go to the first folder; the repository's seeds are only read.
    if "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "$TONEWHARF_ROOT/fuzz/corpus/$target" \
        >"$build/$target.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.log")
        echo "$target: ${runs:-?} runs in ${seconds} s, no finding"
    else
        echo "$target: FAILED, see $build/$target.log and $findings/"
        tail -n 30 "$build/$target.log"
        failed+=("$target")
    fi
done
[ ${#failed[@]} -eq 0 ]
