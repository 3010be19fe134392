#!/usr/bin/env bash
# The free-space scan against PhotoRec (photorec /cmd, Debian's testdisk) on
# the same images: a FAT32 volume whose free space holds mixed real files
# (pictures, documents, archives, text, random data) laid in with gaps, and
# the same size of random data (no hits). Prints MB/s of both and the ratio,
# and the scan's memory per found entry. BENCH_SIZE_MB sets the size (2048).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${KESTROVA_CLI:-$root/build/src/kestrova-cli}
work=${BENCH_DIR:-$root/build/bench}
mb=${BENCH_SIZE_MB:-2048}
mkdir -p "$work"
export PATH="$PATH:/sbin:/usr/sbin"
. "$root/bench/lib.sh"

mixed="$work/rawscan-mixed-${mb}m.img"
random="$work/rawscan-random-${mb}m.img"

# Sample files of the system: pictures, documents, archives, text.
samples() {
  find /usr/share /usr/lib -xdev -type f -size +4k -size -4M \
    \( -iname '*.png' -o -iname '*.jpg' -o -iname '*.gif' -o -iname '*.pdf' -o -iname '*.gz' -o -iname '*.zip' \
       -o -iname '*.html' -o -iname '*.txt' -o -iname '*.xml' -o -iname '*.bmp' -o -iname '*.svg' \) 2>/dev/null | head -4000
}

if [ ! -f "$mixed" ]; then
  truncate -s "${mb}M" "$mixed.part"
  mkfs.vfat -F 32 -n RAWBENCH "$mixed.part" >/dev/null
  # Files laid into the free space (the table knows nothing of them), each
  # after a gap of 0..63 KiB, every fifth one random data; until 90% is used.
  mapfile -t files < <(samples)
  [ ${#files[@]} -gt 0 ] || { echo "no sample files found" >&2; exit 1; }
  limit=$(( mb * 1048576 * 9 / 10 )) at=$(( 4 * 1048576 )) i=0
  while [ "$at" -lt "$limit" ]; do
    if [ $(( i % 5 )) -eq 4 ]; then
      n=$(( (i * 7919 % 2048 + 16) * 1024 ))
      head -c "$n" /dev/urandom | dd of="$mixed.part" bs=1M oflag=seek_bytes seek="$at" conv=notrunc status=none
    else
      f=${files[$(( i % ${#files[@]} ))]}
      n=$(stat -c %s "$f")
      dd if="$f" of="$mixed.part" bs=1M oflag=seek_bytes seek="$at" conv=notrunc status=none
    fi
    at=$(( (at + n + (i * 4099 % 64) * 1024 + 511) / 512 * 512 )); i=$(( i + 1 ))
  done
  mv "$mixed.part" "$mixed"
fi
if [ ! -f "$random" ]; then
  truncate -s "${mb}M" "$random.part"
  mkfs.vfat -F 32 -n RAWBENCH "$random.part" >/dev/null
  head -c "$(( (mb - 8) * 1048576 ))" /dev/urandom | dd of="$random.part" bs=1M seek=4 conv=notrunc status=none
  mv "$random.part" "$random"
fi

scan_one() {  # IMAGE LABEL
  local img=$1 label=$2 out ours peer json rss entries
  cat "$img" > /dev/null
  out=$(mktemp -d)
  ours=$(seconds "$cli" scan "$img")
  # Memory: the peak resident size of a second run, over the entries it found.
  /usr/bin/time -f '%M' -o "$out/rss" "$cli" scan "$img" --json > "$out/scan.json" 2>/dev/null
  rss=$(cat "$out/rss")
  entries=$(sed -n 's/.*"lost":\([0-9]*\).*"raw":\([0-9]*\).*/\1 \2/p' "$out/scan.json" | awk '{ print $1 + $2 }')
  echo "[$label] kestrova-cli scan: $(printf '%.2f' "$ours") s, $(awk -v m="$mb" -v s="$ours" 'BEGIN { printf "%.0f", m / s }') MB/s, $entries entries"
  echo "[$label] peak memory: $rss KiB; $(awk -v r="$rss" -v e="$entries" 'BEGIN { printf "%.0f", e ? r * 1024 / e : 0 }') bytes per entry (the whole process)"
  if command -v photorec >/dev/null 2>&1; then
    peer=$(seconds photorec /log /logname "$out/photorec.log" /d "$out/recup" /cmd "$img" \
      partition_none,options,paranoid,keep_corrupted_file_no,fileopt,everything,enable,freespace,search)
    echo "[$label] photorec /cmd: $(printf '%.2f' "$peer") s, $(awk -v m="$mb" -v s="$peer" 'BEGIN { printf "%.0f", m / s }') MB/s, $(find "$out" -path '*recup*' -type f | wc -l) files"
    echo "[$label] speed ratio (PhotoRec time / ours): $(ratio "$peer" "$ours")"
  else
    echo "[$label] photorec missing (package testdisk): no comparison"
  fi
  rm -rf "$out"
}

scan_one "$mixed" mixed
scan_one "$random" random
