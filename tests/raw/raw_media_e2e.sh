#!/usr/bin/env bash
# End to end: a FAT32 image holding a deleted sample of every picture, audio,
# video and text format; the free-space scan finds each, and recovering
# "RAW files" writes each byte for byte.
# Usage: raw_media_e2e.sh KESTROVA_CLI WORKDIR
# Exit 77 (skipped) when a tool or the command line's scan is missing.
set -euo pipefail
cli=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)

for tool in mkfs.vfat mcopy mdel sha256sum; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: missing tool $tool" >&2; exit 77; }
done
if ! "$cli" --help 2>/dev/null | grep -qE '^ +scan '; then
  echo "SKIP: this kestrova-cli has no scan command yet" >&2
  exit 77
fi

rm -rf "$work"
mkdir -p "$work/samples" "$work/out"
if ! "$here/make_media_samples.sh" "$work/samples" >"$work/samples.log" 2>&1; then
  echo "SKIP: samples not made: $(tail -1 "$work/samples.log")" >&2
  exit 77
fi

# Texts of each kind, each longer than a sector so that the short-text rules do not matter.
s=$work/samples
{
  echo '#include <stdio.h>'
  for i in $(seq 1 60); do echo "int f$i(void) { return $i; }"; done
} >"$s/source.c"
{
  echo '<!DOCTYPE html>'; echo '<html><body>'
  for i in $(seq 1 60); do echo "<p>Paragraph $i of the page.</p>"; done
  echo '</body></html>'
} >"$s/page.html"
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'; echo '<items>'
  for i in $(seq 1 60); do echo "  <item id=\"$i\">value $i</item>"; done
  echo '</items>'
} >"$s/data.xml"
{
  printf 'From: alice@example.org\r\nTo: bob@example.org\r\nSubject: notes\r\n\r\n'
  for i in $(seq 1 60); do printf 'Line %d of the message body.\r\n' "$i"; done
} >"$s/mail.eml"
{
  printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Demo]\r\n'
  for i in $(seq 1 60); do printf '"Value%d"="%d"\r\n' "$i" "$i"; done
} >"$s/export.reg"
/usr/bin/python3 - "$s/unicode.txt" <<'EOF'
import sys
text = "".join(f"Line {i} of a UTF-16 text file.\r\n" for i in range(60))
open(sys.argv[1], "wb").write(b"\xff\xfe" + text.encode("utf-16-le"))
EOF

# The files of the table: one of every format.
files=(sample.bmp sample.tga sample.gif sample.png sample.pcx sample.tif sample.jpg sample.j2k sample.dds
       maker_nef.tif sample.wav sample.avi sample.mpg id3v2.mp3 id3v1.mp3
       source.c page.html data.xml mail.eml export.reg unicode.txt)

img=$work/fat32.img
truncate -s 128M "$img"
mkfs.vfat -F 32 -S 512 -s 1 -n RAWTEST "$img" >/dev/null
for f in "${files[@]}"; do
  MTOOLS_SKIP_CHECK=1 mcopy -i "$img" "$s/$f" "::$f"
done
for f in "${files[@]}"; do
  MTOOLS_SKIP_CHECK=1 mdel -i "$img" "::$f"
done

# Every type folder the scan made under "RAW files", then all of them recovered in one run.
mapfile -t folders < <("$cli" ls "$img" --scan "RAW files" 2>/dev/null | grep -o '/RAW files/[^/]*/$' | sed 's|^/||; s|/$||')
[ ${#folders[@]} -gt 0 ] || { echo "the scan made no RAW folder" >&2; exit 1; }
"$cli" recover "$img" --scan --to "$work/out" --recursive "${folders[@]}" >"$work/recover.log" 2>&1 || true

missing=0
for f in "${files[@]}"; do
  want=$(sha256sum <"$s/$f" | cut -d' ' -f1)
  if find "$work/out" -type f -exec sha256sum {} + | cut -d' ' -f1 | grep -qx "$want"; then
    echo "byte-exact: $f"
  else
    echo "NOT byte-exact: $f" >&2
    missing=$((missing + 1))
  fi
done
[ "$missing" -eq 0 ]
