#!/bin/sh
# Compiles the help pages (kept in UTF-8) into a Windows-1251 quelma.chm: compile_help.sh SOURCE_DIR OUTPUT_CHM
set -eu
src=$1 out=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in "$src"/*.htm "$src"/*.css "$src"/quelma.hhp "$src"/quelma.hhc; do
  iconv -f UTF-8 -t CP1251 "$f" >"$work/$(basename "$f")"
done
(cd "$work" && chmcmd quelma.hhp >/dev/null)
mv "$work/quelma.chm" "$out"
