#!/bin/sh
# Peak resident memory and wall time of the program loading a generated
# library: `vellora --import` with no files reads library.json, imports
# nothing and exits. The peak is compared with the size of the file.
#
#   bench/library/load_peak.sh <build folder> [items, default 100000] [runs, default 3]
set -eu
build=${1:?usage: load_peak.sh <build folder> [items] [runs]}
items=${2:-100000}
runs=${3:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/library"
"$build/bench/library/bench_write_library" "$work/library" "$items"
bytes=$(stat -c %s "$work/library/library.json")
echo "library.json: $items items, $bytes bytes"
run=1
while [ "$run" -le "$runs" ]; do
    HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share" \
    XDG_CACHE_HOME="$work/home/.cache" VELLORA_ROOT="$work/library" QT_QPA_PLATFORM=offscreen \
        /usr/bin/time -v "$build/Vellora/app/vellora" --import >"$work/out" 2>"$work/time" || {
        cat "$work/out" "$work/time" >&2
        exit 1
    }
    peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time")
    awk -v p="$peak" -v b="$bytes" -v w="$wall" -v r="$run" \
        'BEGIN { printf "run %d: peak %.0f MB = %.2f x the file, wall %s\n", r, p * 1024 / 1e6, p * 1024 / b, w }'
    run=$((run + 1))
done
