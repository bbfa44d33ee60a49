#!/usr/bin/env bash
# Random fuzzing for developers, before they stop: replays the corpora, then lets each target
# search for SECONDS (default 60) from a scratch copy of its corpus. A finding is left in
# build-fuzz/findings/<target>/; it becomes a corpus file plus its fix in one commit, so that
# CI's replay (tools/fuzz-replay.sh) keeps it fixed.
# Usage: tools/fuzz.sh [SECONDS] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
if [ "$#" -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
tools/fuzz-replay.sh "$@"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    for seeds in fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
found=0
for target in "${targets[@]}"; do
    mkdir -p "$work/$target" "build-fuzz/findings/$target"
    cp fuzz/corpus/"$target"/* "$work/$target/"
    echo "fuzzing $target for $seconds s"
    if ! build-fuzz/fuzz/"$target" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 \
        -print_final_stats=0 -artifact_prefix="build-fuzz/findings/$target/" \
        "$work/$target" >"$work/$target.log" 2>&1; then
        tail -n 40 "$work/$target.log"
        found=1
    fi
done
if [ "$found" -ne 0 ]; then
    echo "fuzz: findings in build-fuzz/findings/; add each to fuzz/corpus/<target>/ with its fix" >&2
    exit 1
fi
