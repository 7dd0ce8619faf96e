#!/usr/bin/env bash
# veltool.exe under Wine against the Linux veltool on the fixtures: info, dump
# and eval must print the same bytes; zip must make an archive that Info-ZIP's
# unzip tests good and that holds the same entries, sizes and CRCs as the one
# the Linux build makes.
#
#   tests/windows/smoke.sh <linux veltool> <veltool.exe>
# WINEPREFIX names the (throw-away) Wine prefix to use.
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
cd "$(dirname "$0")/../fixtures/real"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

same() {  # label, then the command line after the program name
  local label=$1
  shift
  "$linux" "$@" >"$work/linux.out" 2>"$work/linux.err" && l=0 || l=$?
  wine "$windows" "$@" >"$work/win.out" 2>"$work/win.err" && w=0 || w=$?
  if [ "$l" != "$w" ] || ! cmp -s "$work/linux.out" "$work/win.out"; then
    echo "smoke: $label differs (exit $l on Linux, $w under Wine)"
    diff "$work/linux.out" "$work/win.out" | head -5 || true
    head -3 "$work/win.err"
    failed=$((failed + 1))
  fi
}

tables=(dbase_03.dbf dbase_30.dbf dbase_83.dbf dbase_f5.dbf cp1251.dbf foxprodb/calls.dbf)
for t in "${tables[@]}"; do
  same "info $t" info "$t"
  same "info --json $t" info --json "$t"
  same "dump $t" dump "$t"
  same "dump --json $t" dump --json "$t"
done
same "eval" eval "UPPER('abc') + STR(12.5, 6, 2)"
same "eval --table" eval --table dbase_03.dbf "RECNO()"
same "a missing file" info no_such_table.dbf

# Archives: good, and with the same contents.
"$linux" zip "$work/linux.zip" '*.dbf' '*.fpt' '*.dbt' >/dev/null
wine "$windows" zip "$work/win.zip" '*.dbf' '*.fpt' '*.dbt' >/dev/null
if ! unzip -tq "$work/win.zip"; then
  echo "smoke: unzip -t refuses the archive veltool.exe made"
  failed=$((failed + 1))
fi
listing() { unzip -v "$1" | awk 'NF == 8 && length($7) == 8 && $7 ~ /^[0-9a-f]+$/ {print $8, $1, $7}' | sort; }
if [ "$(listing "$work/linux.zip")" != "$(listing "$work/win.zip")" ] || [ -z "$(listing "$work/win.zip")" ]; then
  echo "smoke: the archives of the two builds hold different entries"
  diff <(listing "$work/linux.zip") <(listing "$work/win.zip") | head -5 || true
  failed=$((failed + 1))
fi

checks=$((${#tables[@]} * 4 + 5))
echo "smoke: $((checks - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
