#!/usr/bin/env bash
# Builds both widths, each DLL with its tests: x86_64 and i686 (the product's real form).
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in x64 x86; do
    # Configuring again is quick, and it asks anew whether this machine can run the i686 tests.
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
