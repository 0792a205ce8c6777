#!/usr/bin/env bash
# CI stage: clang-tidy with the checks of .clang-tidy over the program's sources (not the tests,
# benchmarks or fuzzer), from the release tree's compile commands; any finding fails the stage.
# Runnable by hand from anywhere.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
source scripts/setup.sh
pelta_install_packages clang-tidy

mapfile -t sources < <(git ls-files 'core/*.cpp' 'image/*.cpp' 'denoise/*.cpp' 'viewer/*.cpp' \
    'app/*.cpp' 'tools/*.cpp')
run-clang-tidy -p "$PELTA_BUILD" -j "${PELTA_JOBS:-2}" -quiet "${sources[@]}"
echo "tidy: $((SECONDS - start)) s"
