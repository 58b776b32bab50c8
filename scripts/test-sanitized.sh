#!/usr/bin/env bash
# The whole suite again, without the fuzz run, built with AddressSanitizer and UndefinedBehaviorSanitizer
# in a folder of its own (build-asan/). Undefined behaviour stops the process it happens in (the system
# scenarios see their program end cleanly); AddressSanitizer's and LeakSanitizer's reports, also from the
# programs the tests start, go to a log folder, and any report there fails the run.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$TONEWHARF_ROOT/scripts/test-services.sh"
TONEWHARF_BUILD="${TONEWHARF_SANITIZED_BUILD:-$TONEWHARF_ROOT/build-asan}"

install_packages
build -DTONEWHARF_SANITIZE=ON

start_system_services
findings=$(mktemp -d)
trap 'rm -rf "$findings"' EXIT
export ASAN_OPTIONS="log_path=$findings/asan" UBSAN_OPTIONS="log_path=$findings/ubsan:print_stacktrace=1" \
    LSAN_OPTIONS="print_suppressions=0"
status=0
dbus-run-session -- bash "$TONEWHARF_ROOT/scripts/test-session.sh" "$TONEWHARF_BUILD" "$@" || status=$?
for report in "$findings"/*; do
    [ -e "$report" ] || continue
    echo "sanitizer finding ($report):"
    cat "$report"
    status=1
done
exit "$status"
