#!/usr/bin/env bash
# The window's translation file is up to date with the code and complete: lupdate run on
# the sources into a copy of it changes nothing, and every entry has its English.
set -euo pipefail
root=${1:?usage: translation_file_test.sh SOURCE_TREE}
ts=$root/src/app/translations/tovrel_en.ts
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$ts" "$work/tovrel_en.ts"
bash "$root/scripts/lupdate" "$work/tovrel_en.ts"
if ! diff -u "$ts" "$work/tovrel_en.ts"; then
  echo "FAIL: the window's texts changed; run scripts/lupdate and write the English of the new ones"
  exit 1
fi
if grep -n -B2 -E 'type="(unfinished|vanished|obsolete)"|<translation></translation>' "$ts"; then
  echo "FAIL: texts without their English in $ts"
  exit 1
fi
echo "translation file: complete"
