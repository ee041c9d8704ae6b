#!/usr/bin/env bash
# The bench target's runner. `collect.sh FILE COMMAND...` runs one benchmark, passes its output through and
# keeps its "ratio NAME VALUE" lines in FILE instead; `collect.sh FILE` prints them all, so that the
# target's output ends with one such line per figure.
set -o pipefail
file="$1"
shift
if [ $# -eq 0 ]; then
    cat "$file"
    exit
fi
"$@" | while IFS= read -r line; do
    line="${line%$'\r'}"
    if [[ "$line" =~ ^ratio\ [a-z-]+\ [0-9.]+$ ]]; then
        printf '%s\n' "$line" >> "$file"
    else
        printf '%s\n' "$line"
    fi
done
