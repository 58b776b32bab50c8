#!/usr/bin/env bash
# Builds the Debian package: installs the packages of scripts/packages.txt, builds in Release without
# tests and runs CPack. The .deb lands in build-package/ (or $TONEWHARF_BUILD).
TONEWHARF_BUILD="${TONEWHARF_BUILD:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-package}"
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages
build -DTONEWHARF_BUILD_TESTS=OFF -DTONEWHARF_BUILD_BENCHMARKS=OFF -DCMAKE_INSTALL_PREFIX=/usr
cd "$TONEWHARF_BUILD"
rm -f tonewharf_*.deb
cpack -G DEB
ls "$TONEWHARF_BUILD"/tonewharf_*.deb
