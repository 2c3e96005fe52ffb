#!/bin/sh
# Succeeds when this kernel runs 32-bit x86 programs: a four-instruction
# program that exits with status 7, assembled and linked by binutils.
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start: movl $1, %%eax\nmovl $7, %%ebx\nint $0x80\n' > "$dir/t.s"
as --32 -o "$dir/t.o" "$dir/t.s" 2>/dev/null && ld -m elf_i386 -o "$dir/t" "$dir/t.o" 2>/dev/null || exit 1
"$dir/t" 2>/dev/null
[ $? -eq 7 ]
