#!/usr/bin/env bash
# Builds both widths, x86_64 and i686 (the product's real form): each DLL, the stand-ins and the authoring tool,
# and the tests of each width that this machine can run (no i686 test program where it cannot run 32-bit code).
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in x64 x86; do
    # Configuring again is quick, and it asks anew whether this machine runs 32-bit code.
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
