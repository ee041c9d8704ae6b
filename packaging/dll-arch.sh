#!/usr/bin/env bash
# Prints the width of a Windows DLL or program: x86 (i686) or x64 (x86_64).
set -euo pipefail
case "$(x86_64-w64-mingw32-objdump -f "$1" | sed -n 's/.*file format //p')" in
    pei-i386) echo x86 ;;
    pei-x86-64) echo x64 ;;
    *) echo "unknown width: $1" >&2; exit 1 ;;
esac
