#!/usr/bin/env bash
# CI stage: builds image_fuzzer with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and fuzzes image reading and the denoiser from the seeds in fuzz/corpus for a short while. A
# crash, sanitizer report, leak, timeout or memory blow-up fails the stage and leaves the input in
# build/fuzz/artifacts. Runnable by hand from anywhere; FUZZ_SECONDS sets the length of the run.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
PELTA_SETUP_NO_BUILD=1 source scripts/setup.sh
pelta_install_packages clang libclang-rt-14-dev

# Two jobs: sanitizer builds are heavy and the machine is shared.
jobs=${PELTA_JOBS:-2}
seconds=${FUZZ_SECONDS:-40}

pelta_build_preset fuzz "$jobs"

build=build/fuzz
# New inputs go to a scratch directory: the committed seeds stay as they are.
work=$build/corpus
artifacts=$build/artifacts
mkdir -p "$work" "$artifacts"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
# -timeout: one input may take seconds (the first read of a format loads its plug-in), never ten.
# -rss_limit_mb: the read limit lets two million pixels through; far less than 2 GB is needed.
"$build/fuzz/image_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" fuzz/corpus
echo "fuzz: $((SECONDS - start)) s"
