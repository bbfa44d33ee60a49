#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each briefly on its seed
# corpus (a copy, so that the checked-in seeds stay small). FUZZ_SECONDS sets the time per
# target (default 15). Fails on the first target that finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-15}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVALDANE_FUZZ=ON -DVALDANE_BUILD_TESTS=OFF -DVALDANE_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target fuzz_all
# The targets write files; in memory, syncing them costs nothing.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for seeds in fuzz/corpus/*/; do
    target="$(basename "$seeds")"
    mkdir -p "$work/$target"
    cp "$seeds"* "$work/$target/"
    echo "fuzzing $target for $seconds s"
    # Findings are written to the work folder and shown by libFuzzer's own report.
    (cd "$work" && "$OLDPWD/build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len=4096 \
        -rss_limit_mb=2048 -print_final_stats=0 "$work/$target" 2>&1 | tail -n 3)
done
