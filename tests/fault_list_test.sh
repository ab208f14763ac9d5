#!/usr/bin/env bash
# The fault runner's check: a fault whose fragment no longer matches its file fails it, by name.
set -u
mutate=$1 list=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name=$(grep -m1 '^# ' "$list" | cut -c3-)
sed '0,/^- /s/^- .*/- a fragment that matches nothing/' "$list" >"$work/list"
python3 "$mutate" --check --list "$list" >/dev/null || { echo "FAIL: the list as it is"; exit 1; }
got=$(python3 "$mutate" --check --list "$work/list")
[ $? -eq 1 ] && grep -qF "$name" <<<"$got" || { echo "FAIL: a stale fragment: '$got'"; exit 1; }
