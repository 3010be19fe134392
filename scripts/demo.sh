#!/usr/bin/env bash
# The main job on a sample: installs what is needed, builds, makes a FAT32 image
# with real tools (files and a folder tree deleted) and shows what Kestrova finds
# on it, deleted entries first, then recovers the deleted files into a folder.
# First run on a bare system: about 5-10 minutes (packages, then the build);
# later runs: under a minute.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
step() { printf '\n== %s ==\n' "$*"; }

step "1/4 Checking the Debian packages needed to build and to make sample images (first run: installs them, a few minutes)"
"$root/scripts/setup.sh"
step "2/4 Building kestrova-cli into build/ (first run: 2-5 minutes on two cores)"
"$root/scripts/build.sh" -DKESTROVA_TESTS=OFF
echo "built: $root/build/src/kestrova-cli"
step "3/4 Making sample images with mkfs.vfat, mtools, sfdisk, mkntfs (root needed for some; about 30 s)"
images=$("$root/scripts/make-test-images.sh" "$root/build/sample" 2>/dev/null)
echo "sample images in $images"
step "4/4 Running Kestrova on them"
cli="$root/build/src/kestrova-cli"
sample="$images/fat32.img"
step "Devices (image only)"
"$cli" devices --no-system --image "$sample"
step "File system of $sample"
"$cli" identify "$sample"
step "Deleted files and folders on $sample"
cat <<'TEXT'
Columns: status, size in bytes, type (extension), date, rating, kind, first
cluster, path. Status: deleted (marked deleted; its data is read from where the
entry points), notdetected (deleted; no content check could confirm the data),
overwritten (another file uses its clusters now), folderverified (a deleted
folder whose first cluster still holds its entries). Rating: how likely the
data is intact, in percent (100: every cluster it needs is still free); 110
means not computed, 120 a verified folder.
FAT keeps a deleted short name's first letter nowhere: it shows as "?" here and
is saved as "_" (?eleted.txt is recovered as _eleted.txt). A long name that
survived the deletion keeps all its letters.
TEXT
"$cli" ls "$sample" --recursive --deleted-only
recovered="$root/build/sample/recovered"
rm -rf "$recovered"
step "Recovering the deleted files of $sample into $recovered"
echo "Each line: recovered/partial/skipped, size, path on the image -> file written."
"$cli" recover "$sample" --to "$recovered" --recursive --deleted-only
step "What was recovered"
(cd "$recovered" && find . -type f -printf '%10s  %p\n' | sort -k2)

disk="$images/mbr-disk.img"
if [ -f "$disk" ]; then
  step "Partitions of $disk"
  echo "(\"MBR slots a repair may fill\" counts free table slots: normal on a healthy disk.)"
  "$cli" partitions "$disk"
  for n in 1 2 3 4; do
    step "Mounted geometry of partition $n"
    "$cli" mount "$disk" --partition "$n"
  done
fi
printf '\nDemo finished. Recovered files are in %s\n' "$recovered"
