#!/usr/bin/env bash
# Photographs the tray menu, the settings window and the sign-in window in the states a colourist
# meets, on a virtual X server, against throwaway services on 127.0.0.1.
# Usage: scripts/screenshots.sh [FOLDER]   (default: build/screenshots)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

folder="$(realpath -m "${1:-$TONEWHARF_BUILD/screenshots}")"
install_packages
build

# The first free display number; Xvfb tells which one it took through the file descriptor.
display_file="$(mktemp)"
runtime="$(mktemp -d)"
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$display_file" &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; rm -rf "$display_file" "$runtime"' EXIT
for _ in $(seq 50); do
    [ -s "$display_file" ] && break
    sleep 0.1
done
[ -s "$display_file" ] || { echo "Xvfb did not start" >&2; exit 1; }

rm -rf "$folder"
mkdir -p "$folder"
DISPLAY=":$(cat "$display_file")" QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$runtime" \
    "$TONEWHARF_BUILD/scripts/screenshots/tonewharf_screenshots" "$folder"
echo "Screenshots in $folder"
