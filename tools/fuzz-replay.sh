#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each once over every input of
# its checked-in corpus (fuzz/corpus/<target>): no random search, so the same commit always
# gives the same result. Fails when any input makes its target fail, after trying every target.
# Usage: tools/fuzz-replay.sh [target ...] (default: every target with a corpus)
set -euo pipefail
cd "$(dirname "$0")/.."
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVALDANE_FUZZ=ON -DVALDANE_BUILD_TESTS=OFF -DVALDANE_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build build-fuzz --target fuzz_all
# The targets write files; in memory, syncing them costs nothing.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    for seeds in fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi
failed=()
for target in "${targets[@]}"; do
    inputs=(fuzz/corpus/"$target"/*)
    [ -f "${inputs[0]}" ] || { echo "fuzz-replay: no corpus for $target" >&2; exit 1; }
    echo "replaying ${#inputs[@]} inputs of $target"
    # Files as arguments: each runs once, and a failure names its file.
    if ! out=$(build-fuzz/fuzz/"$target" -runs=1 -rss_limit_mb=2048 "${inputs[@]}" 2>&1); then
        echo "$out" | grep -E '^Running: |ERROR|SUMMARY|runtime error|#[0-9]+ .* in LLVMFuzzer' |
            tail -n 12 >&2
        failed+=("$target")
    fi
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz-replay: failed: ${failed[*]}" >&2
    exit 1
fi
