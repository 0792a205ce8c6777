#!/usr/bin/env bash
# Installs what the build needs (only when something is missing) and builds the release tree.
# Sourced by run.sh, test.sh and the CI stages; safe to run again: apt is skipped and the build is
# incremental. Stages that build trees of their own source it with PELTA_SETUP_NO_BUILD=1.
set -euo pipefail

PELTA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Where the release preset builds.
PELTA_BUILD=$PELTA_ROOT/build/release

PELTA_PACKAGES=(
    build-essential cmake ninja-build pkg-config clang-format
    qtbase5-dev qt5-image-formats-plugins kimageformat-plugins libqt5svg5 libexiv2-dev
    libgtest-dev libgmock-dev libbenchmark-dev
)

# Prints those of PELTA_PACKAGES and of the arguments that are not installed.
pelta_missing_packages() {
    local missing=()
    for p in "${PELTA_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    echo "${missing[@]:-}"
}

# Installs PELTA_PACKAGES and the packages given as arguments, when any of them is missing.
# The CI stages pass their extra packages; this file passes none.
# shellcheck disable=SC2120
pelta_install_packages() {
    local missing
    missing=$(pelta_missing_packages "$@")
    [ -z "$missing" ] && return 0
    echo "Installing: $missing"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}

# Configures (the first time) and builds a preset of CMakePresets.json; warnings are errors
# under CI. Jobs: PELTA_JOBS when set, else the second argument, else Ninja's default (all cores).
pelta_build_preset() {
    local preset=$1 jobs=${PELTA_JOBS:-${2:-}} werror=OFF
    [ "${CI:-}" = "true" ] && werror=ON
    local tree=$PELTA_ROOT/build/$preset
    # A tree configured earlier is configured again when its warning setting is not this run's,
    # so that CI never builds a tree that a developer configured without -Werror.
    if [ ! -f "$tree/build.ninja" ] || ! grep -qx "PELTA_WERROR:BOOL=$werror" "$tree/CMakeCache.txt"; then
        (cd "$PELTA_ROOT" && cmake --preset "$preset" -DPELTA_WERROR=$werror)
    fi
    (cd "$PELTA_ROOT" && cmake --build --preset "$preset" ${jobs:+-j "$jobs"})
}

# shellcheck disable=SC2119
pelta_install_packages
[ -n "${PELTA_SETUP_NO_BUILD:-}" ] || pelta_build_preset release
