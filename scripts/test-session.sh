#!/usr/bin/env bash
# Runs inside dbus-run-session: unlock a throwaway keyring, then run CTest.
set -uo pipefail
build="$1"
shift

# A login keyring unlocked with a throwaway password, for the credential store tests. It lives in a
# folder of its own that goes when the run ends; the daemon ends with the session bus.
keyring_home="${TONEWHARF_KEYRING_HOME:-$(mktemp -d)}"
[ -n "${TONEWHARF_KEYRING_HOME:-}" ] || trap 'rm -rf "$keyring_home"' EXIT
export XDG_DATA_HOME="$keyring_home"
if command -v gnome-keyring-daemon >/dev/null &&
    eval "$(printf 'tonewharf-throwaway' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)" &&
    eval "$(gnome-keyring-daemon --start --components=secrets 2>/dev/null)"; then
    # Tells the credential store tests that the keyring they reach is this throwaway one.
    export TONEWHARF_TEST_KEYRING=1
else
    echo "gnome-keyring did not start; the credential store tests will skip"
fi
export GNOME_KEYRING_CONTROL SSH_AUTH_SOCK 2>/dev/null || true
unset XDG_DATA_HOME

cd "$build"
# Two tests at a time: the system scenarios mostly wait on the program they run.
ctest --output-on-failure --timeout 300 --parallel 2 "$@"
