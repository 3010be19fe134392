#!/usr/bin/env bash
# Recovers every file of a FAT32 image holding about 1 GiB of files (one run
# each) and prints the time against The Sleuth Kit's tsk_recover -e and against
# a plain read of the image (the read limit). All three run with the image in
# the page cache, after one warming read.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${KESTROVA_CLI:-$root/build/src/kestrova-cli}
work=${BENCH_DIR:-$root/build/bench}
mb=${BENCH_SIZE_MB:-1024}
img="$work/fat32-${mb}m.img"
mkdir -p "$work"
export PATH="$PATH:/sbin:/usr/sbin" MTOOLS_SKIP_CHECK=1

if [ ! -f "$img" ]; then
  tree=$(mktemp -d)
  # Files of 1..8 MiB in a few folders, until about $mb MiB.
  total=0 i=0
  while [ "$total" -lt "$mb" ]; do
    size=$(( 1 + i % 8 ))
    mkdir -p "$tree/set$(( i % 10 ))"
    head -c "$(( size * 1048576 ))" /dev/urandom > "$tree/set$(( i % 10 ))/file$i.bin"
    total=$(( total + size )); i=$(( i + 1 ))
  done
  truncate -s "$(( mb + mb / 4 + 64 ))M" "$img.part"
  mkfs.vfat -F 32 -n BENCHREC "$img.part" >/dev/null 2>&1
  mcopy -s -i "$img.part" "$tree"/* ::/
  rm -rf "$tree"
  mv "$img.part" "$img"
fi

. "$root/bench/lib.sh"
compare_recovery "$cli" "$img"
