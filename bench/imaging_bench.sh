#!/usr/bin/env bash
# Copies one image (2 GiB by default) into a new image file with kestrova-cli
# image, with dd bs=1M and with GNU ddrescue, one run each with the source in the
# page cache, and prints each rate in MB/s and kestrova's ratio to the others.
# BENCH_SIZE_MB makes the source smaller (the test suite runs a tiny one).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${KESTROVA_CLI:-$root/build/src/kestrova-cli}
work=${BENCH_DIR:-$root/build/bench}
mb=${BENCH_SIZE_MB:-2048}
src="$work/imaging-${mb}m.img"
out="$work/imaging-out.img"
mkdir -p "$work"
export PATH="$PATH:/sbin:/usr/sbin"
. "$root/bench/lib.sh"

if [ ! -f "$src" ]; then
  # Data that no layer can skip or compress: random bytes.
  head -c "$((mb * 1024 * 1024))" /dev/urandom > "$src.part"
  mv "$src.part" "$src"
fi
cat "$src" > /dev/null
rate() { awk -v s="$1" -v m="$mb" 'BEGIN { if (s > 0) printf "%.1f", m * 1.048576 / s; else print "inf" }'; }

rm -f "$out" "$out.map"
ours=$(seconds "$cli" image "$src" --to "$out")
cmp -s "$src" "$out" || { echo "kestrova-cli image: the copy differs from the source" >&2; exit 1; }
echo "kestrova-cli image: $(printf '%.2f' "$ours") s, $(rate "$ours") MB/s"
rm -f "$out"
with_map=$(seconds "$cli" image "$src" --to "$out" --map "$out.map")
echo "  with --map:       $(printf '%.2f' "$with_map") s, $(rate "$with_map") MB/s"
rm -f "$out" "$out.map"

dd_time=$(seconds dd if="$src" of="$out" bs=1M)
echo "dd bs=1M:           $(printf '%.2f' "$dd_time") s, $(rate "$dd_time") MB/s"
echo "ratio of rates (kestrova / dd): $(ratio "$dd_time" "$ours")"
rm -f "$out"

if command -v ddrescue >/dev/null 2>&1; then
  peer=$(seconds ddrescue -q "$src" "$out" "$out.map")
  echo "ddrescue:           $(printf '%.2f' "$peer") s, $(rate "$peer") MB/s"
  echo "ratio of rates (kestrova / ddrescue): $(ratio "$peer" "$ours")"
else
  echo "ddrescue not installed (Debian gddrescue): no ratio"
fi
rm -f "$out" "$out.map"
