#!/usr/bin/env bash
# Lists a FAT32 volume of 20,000 files in nested folders recursively, once with
# kestrova-cli and once with The Sleuth Kit's fls, and prints the times and their
# ratio (one run each; the image is made with mkfs.vfat and mtools).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${KESTROVA_CLI:-$root/build/src/kestrova-cli}
work=${BENCH_DIR:-$root/build/bench}
img="$work/fat32-20k.img"
mkdir -p "$work"
export PATH="$PATH:/sbin:/usr/sbin" MTOOLS_SKIP_CHECK=1

if [ ! -f "$img" ]; then
  tree=$(mktemp -d)
  # 40 folders of 10 sub-folders with 50 files each: 20,000 files.
  for a in $(seq -w 1 40); do
    for b in $(seq -w 1 10); do
      d="$tree/dir$a/sub$b"
      mkdir -p "$d"
      for f in $(seq -w 1 50); do printf '%s/%s/%s\n' "$a" "$b" "$f" > "$d/file$f.txt"; done
    done
  done
  truncate -s 512M "$img.part"
  mkfs.vfat -F 32 -n BENCH20K "$img.part" >/dev/null 2>&1
  mcopy -s -i "$img.part" "$tree"/* ::/
  rm -rf "$tree"
  mv "$img.part" "$img"
fi

. "$root/bench/lib.sh"
ours=$(seconds "$cli" ls "$img" --recursive --json)
lines=$("$cli" ls "$img" --recursive | wc -l)
echo "kestrova-cli ls -r: $(printf '%.3f' "$ours") s ($lines rows)"
if command -v fls >/dev/null 2>&1; then
  peer=$(seconds fls -r -p "$img")
  echo "fls -r -p:          $(printf '%.3f' "$peer") s ($(fls -r -p "$img" | wc -l) rows)"
  echo "ratio (kestrova / fls): $(ratio "$ours" "$peer")"
else
  echo "fls not installed (sleuthkit): no ratio"
fi
