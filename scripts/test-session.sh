#!/usr/bin/env bash
# Runs inside dbus-run-session: unlock a throwaway keyring, then run CTest.
set -uo pipefail
build="$1"
shift

# A login keyring unlocked with a throwaway password, for the credential store tests.
export XDG_DATA_HOME="${TONEWHARF_KEYRING_HOME:-$(mktemp -d)}"
eval "$(printf 'tonewharf-throwaway' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)" || true
eval "$(gnome-keyring-daemon --start --components=secrets 2>/dev/null)" || true
export GNOME_KEYRING_CONTROL SSH_AUTH_SOCK 2>/dev/null || true
unset XDG_DATA_HOME

cd "$build"
ctest --output-on-failure --timeout 300 "$@"
