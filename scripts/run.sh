#!/usr/bin/env bash
# Installs what Tonewharf needs, builds it in Release and starts it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages
build -DTONEWHARF_BUILD_TESTS=OFF -DTONEWHARF_BUILD_BENCHMARKS=OFF

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: starting Tonewharf with Qt's offscreen platform."
    export QT_QPA_PLATFORM=offscreen
fi
exec "$TONEWHARF_BUILD/tonewharf"
