#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (idempotent). 32-bit Wine (wine32:i386) is added
# where the kernel runs 32-bit code: the i686 DLL is the product's real form and is tested inside it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 msitools wixl googletest cmake
          ninja-build binutils)
sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
if reason=$("$here/preflight-i386.sh" --kernel); then
    packages+=(wine32:i386)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "Adding the i386 architecture for 32-bit Wine"
        $sudo_cmd dpkg --add-architecture i386
        need_update=1
    fi
else
    echo "Not installing 32-bit Wine: $reason; the i686 tests will be skipped"
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [ -n "${need_update:-}" ]; then
    $sudo_cmd apt-get update -qq
fi
