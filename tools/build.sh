#!/usr/bin/env bash
# Builds the x86_64 DLL with its tests and the i686 DLL.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in x64 x86; do
    [ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
