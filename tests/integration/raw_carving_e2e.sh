#!/usr/bin/env bash
# End to end: a FAT32 image holding one sample of every archive, document,
# executable, disc-image and media format that a Debian tool writes, all of
# them deleted; the free-space scan must find each as a RAW file of its type,
# and recovering "RAW files" must write each byte-exact (sha256), except the
# types whose size the measure can only estimate (listed in ESTIMATES below:
# they are reported, not failed, when they differ).
# Usage: raw_carving_e2e.sh KESTROVA_CLI   (exit 77: a prerequisite is missing)
set -uo pipefail
cli=${1:?kestrova-cli}

# Type folder under "RAW files" by sample file; the ISO, named by its volume
# ("MYDISC.iso"), may be listed wherever own-named finds go.
declare -A FOLDER=(
  [s.zip]=ZIP [s.7z]=7z [s.cab]=CAB [s.iso]=ISO [s.mp4]=MP4 [s.mov]=MOV [s.3gp]=3GP [s.mkv]=MKV
  [s.exe]=EXE [s.dll]=DLL [s.msi]=MSI [s.pfx]=PFX [s.pdf]=PDF
  [s.jar]=JAR [s.docx]=DOCX [s.xlsx]=XLSX [s.pptx]=PPTX [s.odt]=ODT [s.ods]=ODS [s.xps]=XPS
)
# Rows whose measure marks its size an estimate (rating -1).
ESTIMATES="s.mp4 s.mov s.3gp s.pdf"

here=$(cd "$(dirname "$0")" && pwd)
for tool in mkfs.vfat mcopy mdel zip 7z gcab genisoimage ffmpeg x86_64-w64-mingw32-gcc msibuild openssl python3 sha256sum; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is missing (scripts/setup.sh installs it)"; exit 77; }
done
# The free-space scan on the command line.
if ! "$cli" --help 2>/dev/null | grep -qE '^[[:space:]]+scan[[:space:]]'; then
  echo "SKIP: this kestrova-cli has no scan command yet"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
set -e
"$here/make_container_samples.sh" .

# 64 MiB FAT32 of 512-byte clusters: every file starts on a sector; then all deleted.
mkfs.vfat -F 32 -s 1 -C img 65536 >/dev/null
for f in "${!FOLDER[@]}"; do mcopy -i img "$f" "::/$f"; done
for f in "${!FOLDER[@]}"; do mdel -i img "::/$f"; done
set +e

mkdir out
# The whole "RAW files" tree in one run: every type folder comes back.
if ! "$cli" recover img --scan --to out "RAW files" --recursive >recover.log 2>&1; then
  echo "FAIL: recover --scan of RAW files failed:"; cat recover.log; exit 1
fi

status=0
for f in "${!FOLDER[@]}"; do
  want=$(sha256sum "$f" | cut -d' ' -f1)
  hit=$(find out -type f -exec sha256sum {} + | awk -v w="$want" '$1 == w {print $2; exit}')
  if [ -n "$hit" ] && [ "$f" != s.iso ] && [[ "$hit" != */${FOLDER[$f]}/* ]]; then
    echo "FAIL      $f: byte-exact but filed as ${hit#out/}"
    status=1
  elif [ "$f" = s.iso ] && [ -n "$hit" ] && [[ "$hit" != */MYDISC.iso ]]; then
    echo "FAIL      $f: byte-exact but named ${hit#out/}"
    status=1
  elif [ -n "$hit" ]; then
    echo "exact     $f -> ${hit#out/}"
  elif [[ " $ESTIMATES " == *" $f "* ]]; then
    got=$(find out -type f -path "*/${FOLDER[$f]}/*" | head -1)
    echo "estimate  $f ($(stat -c %s "$f") bytes) -> ${got:+${got#out/} ($(stat -c %s "$got") bytes)}${got:-missing}"
    [ -n "$got" ] || status=1
  else
    echo "FAIL      $f: no byte-exact copy under ${FOLDER[$f]}"
    status=1
  fi
done
exit $status
