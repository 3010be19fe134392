#!/usr/bin/env bash
# Content search: a byte pattern that is in no file, so every byte of every
# file of the ~1 GiB FAT32 benchmark volume is read and searched. Prints MB/s
# beside `grep -c` over the raw image (same bytes, plus the free space) and the
# ratio; then the name and mask search over a million generated entries.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${KESTROVA_CLI:-$root/build/src/kestrova-cli}
work=${BENCH_DIR:-$root/build/bench}
mb=${BENCH_SIZE_MB:-1024}
img="$work/fat32-${mb}m.img"
# The same volume the recovery benchmark makes (and keeps).
[ -f "$img" ] || BENCH_SIZE_MB=$mb "$root/bench/fat_recovery_bench.sh" >/dev/null
. "$root/bench/lib.sh"

data_mb=$("$cli" search "$img" --json 2>/dev/null | grep -o '"size":[0-9]*,"folder":false' | cut -d: -f2 | cut -d, -f1 |
  awk '{ s += $1 } END { printf "%.1f", s / 1048576 }')
img_mb=$(awk -v b="$(stat -c %s "$img")" 'BEGIN { printf "%.1f", b / 1048576 }')
cat "$img" > /dev/null
ours=$(seconds "$cli" search "$img" --contains-hex "DE AD BE EF 4B 56 53 52 43 48 7F FF")
pattern=$(printf '\xDE\xAD\xBE\xEF\x4B\x56\x53\x52\x43\x48\x7F\xFF')
grep_s=$(seconds env LC_ALL=C grep -c -a -F "$pattern" "$img")
echo "content search, kestrova-cli: $(printf '%.2f' "$ours") s for $data_mb MiB of files: $(awk -v m="$data_mb" -v s="$ours" 'BEGIN { printf "%.0f", m / s }') MB/s"
echo "grep -c over the raw image:   $(printf '%.2f' "$grep_s") s for $img_mb MiB: $(awk -v m="$img_mb" -v s="$grep_s" 'BEGIN { printf "%.0f", m / s }') MB/s"
echo "ratio of the rates (grep / ours): $(awk -v a="$data_mb" -v b="$ours" -v c="$img_mb" -v d="$grep_s" 'BEGIN { printf "%.2f", (c / d) / (a / b) }')"

names=$root/build/bench/search_names_bench
[ -x "$names" ] && "$names" 1000000 || echo "search_names_bench not built (cmake --build build --target search_names_bench)"
