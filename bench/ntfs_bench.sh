#!/usr/bin/env bash
# An NTFS volume filled through ntfs-3g with BENCH_FILES (default 100,000)
# small files in nested folders and about 256 MiB of larger ones (a quarter of
# them deleted again).
# Prints, one run each: the recursive listing against The Sleuth Kit's fls, and
# the recovery of everything against tsk_recover -e and a plain read of the
# image (the read limit). Needs root for the FUSE mount.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${KESTROVA_CLI:-$root/build/src/kestrova-cli}
work=${BENCH_DIR:-$root/build/bench}
files=${BENCH_FILES:-100000}
per=$(( (files + 399) / 400 ))
img="$work/ntfs-bench-$files.img"
mkdir -p "$work"
export PATH="$PATH:/sbin:/usr/sbin"
. "$root/bench/lib.sh"

if [ ! -f "$img" ]; then
  mnt=$(mktemp -d)
  truncate -s 640M "$img.part"
  mkntfs -q -F -f -L BENCHNTFS "$img.part" >/dev/null
  ntfs-3g "$img.part" "$mnt"
  # 40 folders of 10 sub-folders.
  for a in $(seq -w 1 40); do
    for b in $(seq -w 1 10); do
      d="$mnt/dir$a/sub$b"
      mkdir -p "$d"
      for f in $(seq -w 1 "$per"); do printf '%s/%s/%s\n' "$a" "$b" "$f" > "$d/file$f.txt"; done
    done
  done
  mkdir -p "$mnt/big"
  for i in $(seq 1 64); do head -c $(( (i % 8 + 1) * 1048576 )) /dev/urandom > "$mnt/big/file$i.bin"; done
  rm -f "$mnt"/big/file*[0-3].bin
  umount "$mnt"
  rmdir "$mnt"
  mv "$img.part" "$img"
fi

ours=$(seconds "$cli" ls "$img" --recursive --json)
echo "kestrova-cli ls -r:      $(printf '%.3f' "$ours") s ($("$cli" ls "$img" --recursive 2>/dev/null | wc -l) rows)"
if command -v fls >/dev/null 2>&1; then
  peer=$(seconds fls -r -p "$img")
  echo "fls -r -p:               $(printf '%.3f' "$peer") s ($(fls -r -p "$img" | wc -l) rows)"
  echo "ratio (kestrova / fls):  $(ratio "$ours" "$peer")"
fi

compare_recovery "$cli" "$img"
