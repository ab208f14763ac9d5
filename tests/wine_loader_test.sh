#!/usr/bin/env bash
# The Wine launcher on both kinds of machine, with stand-in loaders: one that the kernel refuses with
# "Exec format error" (a real ELF file of an unknown machine type), one that works, one that is missing,
# one that fails.
set -u
launcher=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp /bin/true "$work/foreign"
printf '\xff\xff' | dd of="$work/foreign" bs=1 seek=18 conv=notrunc 2>/dev/null  # e_machine
for name in wine32 wine64; do
  printf '#!/bin/sh\necho "%s WINELOADER=${WINELOADER:-} $*"\n' "$name" >"$work/$name"
done
printf '#!/bin/sh\nexit 1\n' >"$work/broken"
chmod +x "$work"/*
export SPINDWART_WINE64="$work/wine64"
unset WINELOADER
failed=0
for case in "foreign|64|wine64 WINELOADER=$work/wine64 prog.exe -x" "wine32|32|wine32 WINELOADER= prog.exe -x" "missing|64|wine64 WINELOADER=$work/wine64 prog.exe -x" "broken|x|x"; do
  IFS='|' read -r loader bits run <<<"$case"
  export SPINDWART_WINE32="$work/$loader"
  got="$("$launcher" --bits 2>/dev/null || echo x)|$("$launcher" prog.exe -x 2>/dev/null || echo x)"
  [ "$got" = "$bits|$run" ] || { echo "FAIL with $loader: '$got'"; failed=1; }
done
exit $failed
