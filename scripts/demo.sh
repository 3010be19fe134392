#!/usr/bin/env bash
# The main job on a sample: installs what is needed, builds, makes a FAT32 image
# with real tools (files and a folder tree deleted) and shows what Kestrova finds
# on it, deleted entries first, then recovers the deleted files into a folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" -DKESTROVA_TESTS=OFF
images=$("$root/scripts/make-test-images.sh" "$root/build/sample" 2>/dev/null)
cli="$root/build/src/kestrova-cli"
sample="$images/fat32.img"
echo "== Devices (image only) =="
"$cli" devices --no-system --image "$sample"
echo
echo "== File system of $sample =="
"$cli" identify "$sample"
echo
echo "== Deleted files and folders on $sample =="
"$cli" ls "$sample" --recursive --deleted-only
echo
recovered="$root/build/sample/recovered"
rm -rf "$recovered"
echo "== Recovering the deleted files of $sample into $recovered =="
"$cli" recover "$sample" --to "$recovered" --recursive --deleted-only
echo
echo "== What was recovered =="
(cd "$recovered" && find . -type f -printf '%10s  %p\n' | sort -k2)

disk="$images/mbr-disk.img"
if [ -f "$disk" ]; then
  echo
  echo "== Partitions of $disk =="
  "$cli" partitions "$disk"
  for n in 1 2 3 4; do
    echo
    echo "== Mounted geometry of partition $n =="
    "$cli" mount "$disk" --partition "$n"
  done
fi
