#!/usr/bin/env bash
# The partition search's speed: MB/s of the deep and the fast search over a
# disk image whose partition table was wiped (a FAT32 and an NTFS volume, the
# rest random data), beside a plain read of the same image. One run each, the
# image in the page cache after one warming read.
# BENCH_SIZE_MB (default 2048) sizes the image; BENCH_DIR holds it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${KESTROVA_CLI:-$root/build/src/kestrova-cli}
work=${BENCH_DIR:-$root/build/bench}
mb=${BENCH_SIZE_MB:-2048}
img="$work/psearch-${mb}m.img"
mkdir -p "$work"
export PATH="$PATH:/sbin:/usr/sbin"
for tool in sfdisk mkfs.vfat mkntfs; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool missing: run scripts/setup.sh"; exit 0; }
done

if [ ! -f "$img" ]; then
  # A quarter FAT32, a quarter NTFS, the second half random data; then the MBR wiped.
  part=$(( mb / 4 ))
  fat=$(( part < 40 ? 40 : part ))
  truncate -s "${mb}M" "$img.part"
  printf 'label: dos\nstart=2048, size=%d, type=c\nstart=%d, size=%d, type=7\n' \
    $(( fat * 2048 )) $(( 2048 + fat * 2048 )) $(( part * 2048 )) | sfdisk -q "$img.part" >/dev/null
  truncate -s "${fat}M" "$work/p1.img"; mkfs.vfat -F 32 -n BENCHFAT "$work/p1.img" >/dev/null
  truncate -s "${part}M" "$work/p2.img"; mkntfs -F -q -f -L BENCHNTFS -p $(( 2048 + fat * 2048 )) "$work/p2.img" >/dev/null 2>&1
  dd if="$work/p1.img" of="$img.part" bs=512 seek=2048 conv=notrunc,sparse status=none
  dd if="$work/p2.img" of="$img.part" bs=512 seek=$(( 2048 + fat * 2048 )) conv=notrunc,sparse status=none
  rest=$(( mb - 1 - fat - part ))
  [ "$rest" -gt 0 ] && head -c "$(( rest * 1048576 ))" /dev/urandom | \
    dd of="$img.part" bs=1M seek=$(( 1 + fat + part )) conv=notrunc status=none iflag=fullblock
  dd if=/dev/zero of="$img.part" bs=512 count=1 conv=notrunc status=none
  rm -f "$work/p1.img" "$work/p2.img"
  mv "$img.part" "$img"
fi

. "$root/bench/lib.sh"
rate() { awk -v m="$1" -v s="$2" 'BEGIN { printf "%.0f", m / s }'; }
cat "$img" > /dev/null
plain=$(seconds cat "$img")
deep=$(seconds "$cli" find-partitions "$img" --deep)
fast=$(seconds "$cli" find-partitions "$img" --fast)
"$cli" find-partitions "$img" --fast 2>/dev/null | sed 's/^/  /'
echo "plain read:        $(printf '%.2f' "$plain") s, $(rate "$mb" "$plain") MB/s (${mb} MiB)"
echo "deep search:       $(printf '%.2f' "$deep") s, $(rate "$mb" "$deep") MB/s"
echo "fast search:       $(printf '%.2f' "$fast") s, $(rate "$mb" "$fast") MB/s"
echo "deep / read speed: $(ratio "$plain" "$deep")"
echo "fast / read speed: $(ratio "$plain" "$fast")"
