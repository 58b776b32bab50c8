#!/usr/bin/env bash
# Installs what the tests need, builds, starts the services the tests use and runs every test with CTest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$TONEWHARF_ROOT/scripts/test-services.sh"

install_packages
build -DTONEWHARF_WERROR=ON

start_system_services
# The session bus and the keyring live only as long as the test run.
dbus-run-session -- bash "$TONEWHARF_ROOT/scripts/test-session.sh" "$TONEWHARF_BUILD" "$@"

# A short run of every fuzz target after a full run; scripts/fuzz.sh alone runs them longer.
if [ $# -eq 0 ]; then
    bash "$TONEWHARF_ROOT/scripts/fuzz.sh" "${TONEWHARF_FUZZ_SECONDS:-4}"
fi
