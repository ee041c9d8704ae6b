#!/usr/bin/env bash
# Builds everything and runs every test (ctest through wine64 with one wineserver for the whole run).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
source tools/wine-env.sh
wine_start
trap wine_stop EXIT
ctest --preset x64 "$@"
