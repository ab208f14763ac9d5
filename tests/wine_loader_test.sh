#!/usr/bin/env bash
# The Wine launcher on every kind of machine, with stand-in loaders: one that the kernel refuses
# with "Exec format error" (a real ELF file of an unknown machine type), one that works, one that
# cannot be executed for another reason (exit 126 too), one that is missing.
set -u
launcher=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp /bin/true "$work/foreign"
printf '\xff\xff' | dd of="$work/foreign" bs=1 seek=18 conv=notrunc 2>/dev/null  # e_machine
for name in wine32 wine64; do
  printf '#!/bin/sh\necho "%s WINELOADER=${WINELOADER:-} $*"\n' "$name" >"$work/$name"
done
chmod +x "$work"/*
touch "$work/unexecutable"
export SPINDWART_WINE64="$work/wine64"
unset WINELOADER
failed=0
expect() {  # 32-BIT-LOADER  "BITS|OUTPUT OF A RUN" ("x|x": both fail, with a message that names the loader)
  export SPINDWART_WINE32="$work/$1"
  local got
  got="$("$launcher" --bits 2>"$work/err" || echo x)|$("$launcher" prog.exe -x 2>>"$work/err" || echo x)"
  [ "$got" = "$2" ] && { [ "$2" != "x|x" ] || grep -q "$work/$1" "$work/err"; } && return
  echo "FAIL with $1: '$got' $(cat "$work/err")"
  failed=1
}
expect foreign "64|wine64 WINELOADER=$work/wine64 prog.exe -x"
expect wine32 "32|wine32 WINELOADER= prog.exe -x"
expect unexecutable "x|x"
expect missing "x|x"
# A loader named by the caller is the one that runs the program.
[ "$(SPINDWART_WINE32="$work/foreign" WINELOADER="$work/wine32" "$launcher" a.exe)" = "wine32 WINELOADER=$work/wine32 a.exe" ] ||
  { echo "FAIL: the caller's WINELOADER"; failed=1; }
exit $failed
