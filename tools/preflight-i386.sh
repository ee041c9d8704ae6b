#!/usr/bin/env bash
# Can this machine run the i686 (32-bit) build? Exits 0 when it can; otherwise prints the reason and exits 1.
#   preflight-i386.sh           the kernel runs 32-bit code and 32-bit Wine is installed
#   preflight-i386.sh --kernel  only the first half (decides whether setup installs 32-bit Wine)
# TARVO_SIMULATE_NO_I386=1 makes it fail as a machine without 32-bit execution would.
set -u
if [ "${TARVO_SIMULATE_NO_I386:-}" = 1 ]; then
    echo "this machine cannot execute 32-bit code (Exec format error; simulated by TARVO_SIMULATE_NO_I386=1)"
    exit 1
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The smallest static i386 program: exit(0) through int 0x80.
printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' > "$work/exit.s"
if ! { as --32 -o "$work/exit.o" "$work/exit.s" && ld -m elf_i386 -o "$work/exit" "$work/exit.o"; } 2>"$work/err"; then
    echo "cannot build the 32-bit probe program: $(head -1 "$work/err")"
    exit 1
fi
if ! "$work/exit" 2>"$work/err"; then
    echo "this machine cannot execute 32-bit code ($(sed 's/.*: //' "$work/err" | head -1))"
    exit 1
fi
[ "${1:-}" = --kernel ] && exit 0
if [ ! -x /usr/lib/wine/wine ] || [ ! -d /usr/lib/i386-linux-gnu/wine/i386-windows ]; then
    echo "32-bit Wine (wine32:i386) is not installed"
    exit 1
fi
exit 0
