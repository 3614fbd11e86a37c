#!/bin/sh
# Runs every fuzz target in $1 for $2 seconds each, from its seed corpus when one exists.
set -e
dir=$1
secs=${2:-10}
status=0
for f in "$dir"/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus=$(mktemp -d)
    seeds="$(dirname "$0")/../fuzz/corpus/$name"
    [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
    echo "fuzzing $name for ${secs}s"
    if ! "$f" -max_total_time="$secs" -print_final_stats=0 "$corpus" >"$corpus.log" 2>&1; then
        tail -n 60 "$corpus.log"
        status=1
    fi
    rm -rf "$corpus" "$corpus.log"
done
exit $status
