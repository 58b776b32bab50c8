# Shared by the run and test scripts: install the packages of scripts/packages.txt and build.
set -euo pipefail

TONEWHARF_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TONEWHARF_BUILD="${TONEWHARF_BUILD:-$TONEWHARF_ROOT/build}"

install_packages() {
    local packages missing=()
    packages=$(grep -vE '^\s*(#|$)' "$TONEWHARF_ROOT/scripts/packages.txt")
    for package in $packages; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

build() {
    cmake -S "$TONEWHARF_ROOT" -B "$TONEWHARF_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
    cmake --build "$TONEWHARF_BUILD" --parallel "$(nproc)"
}
