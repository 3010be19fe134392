#!/usr/bin/env bash
# Makes real volumes with real tools into OUT (default: build/test-images) and
# writes OUT/manifest.tsv: name, file system, start, sectors, label, serial (hex
# or -), boot damaged (0/1). Images whose tool is missing are skipped with a note.
set -uo pipefail
out=${1:-$(cd "$(dirname "$0")/.." && pwd)/build/test-images}
mkdir -p "$out"
manifest="$out/manifest.tsv"
: > "$manifest.new"

have() { command -v "$1" >/dev/null 2>&1; }
note() { echo "make-test-images: $*" >&2; }
record() { printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >> "$manifest.new"; }
sectors() { echo $(( $(stat -c %s "$1") / 512 )); }
zero_boot() { cp "$1" "$2" && dd if=/dev/zero of="$2" bs=512 count=1 conv=notrunc status=none; }

export PATH="$PATH:/sbin:/usr/sbin"

# FAT volumes with files and folders, some deleted with mdel/mdeltree.
# OUT/fatfiles.tsv: image, path, size, state (existing or deleted), sha256.
fatfiles="$out/fatfiles.tsv"
: > "$fatfiles.new"
fat_content() {  # image
  local img=$1 name tmp
  name=$(basename "$img" .img)
  tmp=$(mktemp -d)
  printf 'kept\n' > "$tmp/keep.txt"
  head -c 200000 /dev/urandom > "$tmp/photo.jpg"
  printf 'gone\n' > "$tmp/deleted.txt"
  { printf '%%PDF-1.4\n'; head -c 3000 /dev/zero | tr '\0' 'x'; printf '\n%%%%EOF\n'; } > "$tmp/Report 2024.pdf"
  head -c 5000 /dev/urandom > "$tmp/inner.bin"
  export MTOOLS_SKIP_CHECK=1
  mmd -i "$img" ::/Docs ::/Old ::/Old/Deep \
    && mcopy -i "$img" "$tmp/keep.txt" "$tmp/photo.jpg" "$tmp/deleted.txt" ::/Docs/ \
    && mcopy -i "$img" "$tmp/Report 2024.pdf" "::/Report 2024.pdf" \
    && mcopy -i "$img" "$tmp/inner.bin" ::/Old/Deep/ \
    && mcopy -i "$img" "$tmp/keep.txt" ::/Old/ \
    && mdel -i "$img" ::/Docs/deleted.txt "::/Report 2024.pdf" \
    && mdeltree -i "$img" ::/Old
  local rc=$?
  if [ $rc -ne 0 ]; then rm -rf "$tmp"; note "mtools could not fill $name"; return 1; fi
  sum() { sha256sum "$1" | cut -d' ' -f1; }
  printf '%s\t%s\t%s\t%s\t%s\n' "$name" /Docs/keep.txt 5 existing "$(sum "$tmp/keep.txt")" \
    "$name" /Docs/photo.jpg 200000 existing "$(sum "$tmp/photo.jpg")" \
    "$name" /Docs/deleted.txt 5 deleted "$(sum "$tmp/deleted.txt")" \
    "$name" "/Report 2024.pdf" "$(( 9 + 3000 + 7 ))" deleted "$(sum "$tmp/Report 2024.pdf")" \
    "$name" /Old/keep.txt 5 deleted "$(sum "$tmp/keep.txt")" \
    "$name" /Old/Deep/inner.bin 5000 deleted "$(sum "$tmp/inner.bin")" >> "$fatfiles.new"
  rm -rf "$tmp"
}

if have mkfs.vfat; then
  f="$out/fat12.img"; rm -f "$f"; truncate -s 1474560 "$f"
  mkfs.vfat -F 12 -n KVFAT12 -i 0F12A001 "$f" >/dev/null && record fat12 FAT12 0 "$(sectors "$f")" KVFAT12 0F12A001 0
  have mcopy && fat_content "$f"
  f="$out/fat16.img"; rm -f "$f"; truncate -s 32M "$f"
  mkfs.vfat -F 16 -n KVFAT16 -i 16C0FFEE "$f" >/dev/null && record fat16 FAT16 0 "$(sectors "$f")" KVFAT16 16C0FFEE 0
  have mcopy && fat_content "$f"
  f="$out/fat32.img"; rm -f "$f"; truncate -s 64M "$f"
  if mkfs.vfat -F 32 -n KVFAT32 -i 32A1B2C3 "$f" >/dev/null; then
    if have mcopy; then
      fat_content "$f"
    else
      note "mtools missing: the FAT images stay empty"
    fi
    record fat32 FAT32 0 "$(sectors "$f")" KVFAT32 32A1B2C3 0
    zero_boot "$f" "$out/fat32-bootzero.img" && record fat32-bootzero FAT32 0 "$(sectors "$f")" KVFAT32 32A1B2C3 1
  fi
  # A small FAT32 (40,960 sectors): mkfs.vfat keeps its count in the 16-bit
  # field. mtools takes a FAT32 of so few clusters for FAT16 and cannot fill it:
  # the integration test writes its files.
  f="$out/fat32-small.img"; rm -f "$f"; truncate -s $((40960 * 512)) "$f"
  if mkfs.vfat -F 32 -n KVFAT32S -i 32A1B2C4 "$f" >/dev/null 2>&1; then
    record fat32-small FAT32 0 "$(sectors "$f")" KVFAT32S 32A1B2C4 0
  fi
else
  note "mkfs.vfat missing (dosfstools): FAT images skipped"
fi
# exFAT filled through exfat-fuse on a loop device (needs root, /dev/fuse and loop devices).
if have mkfs.exfat && have mount.exfat-fuse && have losetup && [ -e /dev/fuse ]; then
  f="$out/exfat-files.img"; rm -f "$f"; truncate -s 32M "$f"
  mnt=$(mktemp -d); tmp=$(mktemp -d)
  if mkfs.exfat -L KVFILES "$f" >/dev/null 2>&1 && loop=$(losetup -f --show "$f" 2>/dev/null); then
    printf 'kept\n' > "$tmp/keep.txt"
    head -c 200000 /dev/urandom > "$tmp/photo.jpg"
    { printf '%%PDF-1.4\n'; head -c 3000 /dev/zero | tr '\0' 'x'; printf '\n%%%%EOF\n'; } > "$tmp/Report 2024.pdf"
    head -c 50000 /dev/urandom > "$tmp/inner.bin"
    if mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1; then
      mkdir -p "$mnt/Docs" "$mnt/Old/Deep"
      cp "$tmp/keep.txt" "$tmp/photo.jpg" "$mnt/Docs/"
      cp "$tmp/Report 2024.pdf" "$mnt/"
      cp "$tmp/inner.bin" "$mnt/Old/Deep/"
      cp "$tmp/keep.txt" "$mnt/Old/"
      sync
      umount "$mnt" && mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1 \
        && rm -f "$mnt/Report 2024.pdf" && rm -rf "$mnt/Old" && sync && umount "$mnt"
      sum() { sha256sum "$1" | cut -d' ' -f1; }
      printf '%s\t%s\t%s\t%s\t%s\n' exfat-files /Docs/keep.txt 5 existing "$(sum "$tmp/keep.txt")" \
        exfat-files /Docs/photo.jpg 200000 existing "$(sum "$tmp/photo.jpg")" \
        exfat-files "/Report 2024.pdf" 3016 deleted "$(sum "$tmp/Report 2024.pdf")" \
        exfat-files /Old/keep.txt 5 deleted "$(sum "$tmp/keep.txt")" \
        exfat-files /Old/Deep/inner.bin 50000 deleted "$(sum "$tmp/inner.bin")" >> "$fatfiles.new"
    else
      note "exfat-fuse could not mount: exfat-files.img skipped"
    fi
    losetup -d "$loop"
  else
    note "no loop device: exfat-files.img skipped"
  fi
  rm -rf "$mnt" "$tmp"
else
  note "exfat-fuse, losetup or /dev/fuse missing: exfat-files.img skipped"
fi
# NTFS filled through ntfs-3g (FUSE): a compressed folder (setfattr, package
# attr), a sparse file, files deleted alone and with their folder.
if have mkntfs && have ntfs-3g && [ -e /dev/fuse ]; then
  f="$out/ntfs-files.img"; rm -f "$f"; truncate -s 48M "$f"
  mnt=$(mktemp -d); tmp=$(mktemp -d)
  if mkntfs -q -F -f -L KVNTFSF "$f" >/dev/null 2>&1 && ntfs-3g "$f" "$mnt" >/dev/null 2>&1; then
    printf 'kept\n' > "$tmp/keep.txt"
    head -c 200000 /dev/urandom > "$tmp/photo.jpg"
    { printf '%%PDF-1.4\n'; head -c 3000 /dev/zero | tr '\0' 'x'; printf '\n%%%%EOF\n'; } > "$tmp/Report 2024.pdf"
    head -c 50000 /dev/urandom > "$tmp/inner.bin"
    for i in $(seq 1 4000); do printf 'line %05d of a log that compresses well\n' "$i"; done > "$tmp/server.log"
    cp "$tmp/server.log" "$tmp/old.log"
    mkdir -p "$mnt/Docs" "$mnt/Old/Deep" "$mnt/Packed"
    cp "$tmp/keep.txt" "$tmp/photo.jpg" "$mnt/Docs/"
    cp "$tmp/Report 2024.pdf" "$mnt/"
    cp "$tmp/inner.bin" "$mnt/Old/Deep/"
    cp "$tmp/keep.txt" "$mnt/Old/"
    packed=existing
    if have setfattr && setfattr -h -v 0x00000800 -n system.ntfs_attrib_be "$mnt/Packed" 2>/dev/null; then
      cp "$tmp/server.log" "$tmp/old.log" "$mnt/Packed/"
    else
      packed=; note "setfattr missing (attr): no compressed files in ntfs-files.img"
    fi
    # 1 MiB with data only in its first and last 64 KiB.
    head -c 65536 /dev/urandom > "$tmp/a"; head -c 65536 /dev/urandom > "$tmp/b"
    truncate -s 1048576 "$mnt/disk.vhd"
    dd if="$tmp/a" of="$mnt/disk.vhd" conv=notrunc status=none
    dd if="$tmp/b" of="$mnt/disk.vhd" bs=65536 seek=15 conv=notrunc status=none
    cp "$mnt/disk.vhd" "$tmp/disk.vhd"
    # Hundreds of files, resident (small) and not; every 50th is deleted below.
    mkdir -p "$mnt/Many" "$tmp/Many"
    for i in $(seq -w 1 300); do
      head -c $(( (10#$i * 37) % 3000 + 1 )) /dev/urandom > "$tmp/Many/f$i.dat"
      cp "$tmp/Many/f$i.dat" "$mnt/Many/"
    done
    sync
    umount "$mnt" && ntfs-3g "$f" "$mnt" >/dev/null 2>&1 \
      && rm -f "$mnt/Report 2024.pdf" "$mnt"/Many/f*[05]0.dat && rm -rf "$mnt/Old" \
      && { [ -z "$packed" ] || rm -f "$mnt/Packed/old.log"; } \
      && sync && umount "$mnt"
    sum() { sha256sum "$1" | cut -d' ' -f1; }
    {
      printf '%s\t%s\t%s\t%s\t%s\n' ntfs-files /Docs/keep.txt 5 existing "$(sum "$tmp/keep.txt")" \
        ntfs-files /Docs/photo.jpg 200000 existing "$(sum "$tmp/photo.jpg")" \
        ntfs-files "/Report 2024.pdf" 3016 deleted "$(sum "$tmp/Report 2024.pdf")" \
        ntfs-files /Old/keep.txt 5 deleted "$(sum "$tmp/keep.txt")" \
        ntfs-files /Old/Deep/inner.bin 50000 deleted "$(sum "$tmp/inner.bin")" \
        ntfs-files /disk.vhd 1048576 existing "$(sum "$tmp/disk.vhd")"
      for i in $(seq -w 1 300); do
        state=existing; case $i in *[05]0) state=deleted ;; esac
        printf '%s\t%s\t%s\t%s\t%s\n' ntfs-files "/Many/f$i.dat" "$(stat -c %s "$tmp/Many/f$i.dat")" "$state" \
          "$(sum "$tmp/Many/f$i.dat")"
      done
      if [ -n "$packed" ]; then
        printf '%s\t%s\t%s\t%s\t%s\n' ntfs-files /Packed/server.log "$(stat -c %s "$tmp/server.log")" existing \
          "$(sum "$tmp/server.log")" ntfs-files /Packed/old.log "$(stat -c %s "$tmp/old.log")" deleted "$(sum "$tmp/old.log")"
      fi
    } >> "$fatfiles.new"
  else
    note "ntfs-3g could not mount: ntfs-files.img skipped"
  fi
  rm -rf "$mnt" "$tmp"
else
  note "mkntfs, ntfs-3g or /dev/fuse missing: ntfs-files.img skipped"
fi
# NTFS with 4 KiB sectors inside a disk image of 512-byte sectors, in a
# partition at sector 2048: every file-system number must be scaled.
if have mkntfs && have ntfs-3g && have sfdisk && [ -e /dev/fuse ]; then
  f="$out/ntfs4k-disk.img"; p="$out/ntfs4k-part.tmp"; rm -f "$f" "$p"
  truncate -s 48M "$f"; truncate -s $(( 48 * 2048 * 512 - 2048 * 512 )) "$p"
  mnt=$(mktemp -d); tmp=$(mktemp -d)
  if printf 'label: dos\nstart=2048, type=7\n' | sfdisk -q "$f" >/dev/null 2>&1 \
    && mkntfs -q -F -f -s 4096 -p 2048 -L KVNTFS4K "$p" >/dev/null 2>&1 && ntfs-3g "$p" "$mnt" >/dev/null 2>&1; then
    printf 'kept\n' > "$tmp/keep.txt"
    head -c 300000 /dev/urandom > "$tmp/photo.jpg"
    head -c 70000 /dev/urandom > "$tmp/gone.bin"
    mkdir -p "$mnt/Docs"
    cp "$tmp/keep.txt" "$tmp/photo.jpg" "$mnt/Docs/"
    cp "$tmp/gone.bin" "$mnt/"
    sync
    umount "$mnt" && ntfs-3g "$p" "$mnt" >/dev/null 2>&1 && rm -f "$mnt/gone.bin" && sync && umount "$mnt"
    dd if="$p" of="$f" bs=512 seek=2048 conv=notrunc,sparse status=none
    sum() { sha256sum "$1" | cut -d' ' -f1; }
    printf '%s\t%s\t%s\t%s\t%s\n' ntfs4k-disk /Docs/keep.txt 5 existing "$(sum "$tmp/keep.txt")" \
      ntfs4k-disk /Docs/photo.jpg 300000 existing "$(sum "$tmp/photo.jpg")" \
      ntfs4k-disk /gone.bin 70000 deleted "$(sum "$tmp/gone.bin")" >> "$fatfiles.new"
  else
    note "sfdisk, mkntfs -s 4096 or ntfs-3g failed: ntfs4k-disk.img skipped"
  fi
  rm -rf "$mnt" "$tmp" "$p"
else
  note "mkntfs, ntfs-3g, sfdisk or /dev/fuse missing: ntfs4k-disk.img skipped"
fi
mv "$fatfiles.new" "$fatfiles"

if have mkfs.exfat; then
  f="$out/exfat.img"; rm -f "$f"; truncate -s 64M "$f"
  if mkfs.exfat -L KVEXFAT --volume-serial=0x663DCCF8 "$f" >/dev/null 2>&1 || mkfs.exfat -n KVEXFAT "$f" >/dev/null 2>&1; then
    serial=$(od -An -tx4 -j100 -N4 "$f" | tr -d ' ' | tr a-f A-F)
    record exfat EXFAT 0 "$(sectors "$f")" KVEXFAT "$serial" 0
    zero_boot "$f" "$out/exfat-bootzero.img" && record exfat-bootzero EXFAT 0 "$(sectors "$f")" KVEXFAT "$serial" 1
    # A damaged copy: a deleted file claiming 2^62 bytes whose first cluster's
    # FAT entry points at itself (a listing once never ended on it).
    h="$out/exfat-hang.img"; cp "$f" "$h"
    u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
    poke() {  # file offset value bytes
      local s='' i
      for ((i = 0; i < $4; i++)); do s+=$(printf '\\x%02x' $(( ($3 >> (8 * i)) & 255 ))); done
      printf "$s" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
    }
    bps=$(( 1 << $(od -An -tu1 -j108 -N1 "$h" | tr -d ' ') ))
    spc=$(( 1 << $(od -An -tu1 -j109 -N1 "$h" | tr -d ' ') ))
    fat=$(( $(u32 "$h" 80) * bps )); heap=$(( $(u32 "$h" 88) * bps )); rootc=$(u32 "$h" 96)
    set_at=$(( heap + (rootc - 2) * spc * bps + 3 * 32 ))  # after label, bitmap and up-case
    poke "$h" $(( fat + 100 * 4 )) 100 4
    poke "$h" "$set_at" $(( 0x05 | 2 << 8 )) 2; poke "$h" $(( set_at + 4 )) $(( 0x20 )) 2
    poke "$h" $(( set_at + 32 )) $(( 0x40 | 4 << 24 )) 4
    poke "$h" $(( set_at + 32 + 20 )) 100 4; poke "$h" $(( set_at + 32 + 24 )) $(( 1 << 62 )) 8
    poke "$h" $(( set_at + 64 )) $(( 0x41 )) 2
    poke "$h" $(( set_at + 66 )) $(( 0x68 | 0x61 << 16 )) 4; poke "$h" $(( set_at + 70 )) $(( 0x6E | 0x67 << 16 )) 4
  fi
else
  note "mkfs.exfat missing (exfatprogs): exFAT images skipped"
fi

# A heavily fragmented NTFS file: a volume filled with 2 KiB files, every other
# one (by its place on disk) deleted, then two large files written into the
# holes. Their run lists outgrow the base record: an attribute list names two
# or more extension records. One of them is deleted afterwards.
# OUT/ntfsfrag.tsv: path, size, state, sha256, extension records of its $DATA
# (- when the driver's tool cannot tell: a deleted file). OUT/ntfs-frag/: the originals.
fragfiles="$out/ntfsfrag.tsv"
: > "$fragfiles.new"
if have mkntfs && have ntfs-3g && have ntfsinfo && [ -e /dev/fuse ]; then
  f="$out/ntfs-frag.img"; rm -f "$f"; truncate -s 16M "$f"
  mnt=$(mktemp -d); tmp=$(mktemp -d)
  if mkntfs -q -F -f -c 512 -L KVFRAG "$f" >/dev/null 2>&1 && ntfs-3g "$f" "$mnt" >/dev/null 2>&1; then
    mkdir "$mnt/fill"
    head -c 2048 /dev/urandom > "$tmp/one"
    n=0; while cp "$tmp/one" "$mnt/fill/s$n" 2>/dev/null; do n=$((n + 1)); done
    rm -f "$mnt/fill/s$n"
    umount "$mnt"
    # Each filler's first cluster (4 clusters each); every other one on disk goes.
    : > "$tmp/gone.list"
    for i in $(seq 0 $((n - 1))); do
      lcn=$(ntfsinfo -v -F "/fill/s$i" "$f" 2>/dev/null | awk '/Runlist:/ { getline; print $2; exit }')
      [ -n "$lcn" ] && [ $(( lcn / 4 % 2 )) -eq 0 ] && echo "$mnt/fill/s$i" >> "$tmp/gone.list"
    done
    holes=$(wc -l < "$tmp/gone.list")
    size=$(( holes * 2048 * 2 / 5 ))
    head -c "$size" /dev/urandom > "$tmp/big.bin"
    head -c "$size" /dev/urandom > "$tmp/gone.bin"
    if ntfs-3g "$f" "$mnt" >/dev/null 2>&1 && xargs -a "$tmp/gone.list" -d '\n' rm -f && sync \
      && cp "$tmp/big.bin" "$tmp/gone.bin" "$mnt/" && sync && umount "$mnt" \
      && ntfs-3g "$f" "$mnt" >/dev/null 2>&1 && rm -f "$mnt/gone.bin" && sync && umount "$mnt"; then
      # The extension records holding the existing file's $DATA, as the
      # driver's own tool reports them.
      extents() {
        ntfsinfo -v -F "$1" "$f" 2>/dev/null \
          | awk '/^Dumping Inode/ { base = $3 } /^Dumping attribute \$DATA/ && $(NF - 1) != base { print $(NF - 1) }' \
          | sort -u | wc -l
      }
      sum() { sha256sum "$1" | cut -d' ' -f1; }
      printf '%s\t%s\t%s\t%s\t%s\n' /big.bin "$size" existing "$(sum "$tmp/big.bin")" "$(extents /big.bin)" \
        /gone.bin "$size" deleted "$(sum "$tmp/gone.bin")" - >> "$fragfiles.new"
      # The originals, to compare what a partial recovery gives.
      rm -rf "$out/ntfs-frag"; mkdir -p "$out/ntfs-frag" && cp "$tmp/big.bin" "$tmp/gone.bin" "$out/ntfs-frag/"
    else
      umount "$mnt" 2>/dev/null
      note "ntfs-3g could not fill ntfs-frag.img"
    fi
  else
    note "ntfs-3g could not mount: ntfs-frag.img skipped"
  fi
  rm -rf "$mnt" "$tmp"
else
  note "mkntfs, ntfs-3g, ntfsinfo or /dev/fuse missing: ntfs-frag.img skipped"
fi
mv "$fragfiles.new" "$fragfiles"

if have mkntfs; then
  f="$out/ntfs.img"; rm -f "$f"; truncate -s 64M "$f"
  if mkntfs -q -F -f -L KVNTFS "$f" >/dev/null 2>&1; then
    serial=$(od -An -tx4 -j72 -N4 "$f" | tr -d ' ' | tr a-f A-F)
    total=$(od -An -tu8 -j40 -N8 "$f" | tr -d ' ')
    record ntfs NTFS 0 "$(sectors "$f")" KVNTFS "$serial" 0
    zero_boot "$f" "$out/ntfs-bootzero.img" && record ntfs-bootzero NTFS 0 "$(sectors "$f")" KVNTFS "$serial" 1
    : "$total"
  fi
else
  note "mkntfs missing (ntfs-3g): NTFS images skipped"
fi

if have mkfs.ext2; then
  for v in 2 3 4; do
    f="$out/ext$v.img"; rm -f "$f"; truncate -s 16M "$f"
    mkfs.ext$v -q -F -L KVEXT$v "$f" >/dev/null 2>&1 && record ext$v EXT 0 "$(sectors "$f")" KVEXT$v - 0
  done
else
  note "mkfs.ext2 missing (e2fsprogs): ext images skipped"
fi

if have mkswap; then
  f="$out/swap.img"; rm -f "$f"; truncate -s 8M "$f"
  mkswap -L KVSWAP "$f" >/dev/null 2>&1 && record swap "Linux Swap 2" 0 "$(sectors "$f")" "Linux Swap" - 0
fi

# Partitioned disks: sfdisk writes the tables, the volumes are made apart and
# copied into place. OUT/partitions.tsv: image, start, sectors, file system, label.
parts="$out/partitions.tsv"
: > "$parts.new"
place() { dd if="$1" of="$2" bs=512 seek="$3" conv=notrunc,sparse status=none; rm -f "$1"; }
part_record() { printf '%s\t%s\t%s\t%s\t%s\n' "$@" >> "$parts.new"; }
if have sfdisk && have mkfs.vfat && have mkntfs && have mkfs.exfat; then
  d="$out/mbr-disk.img"; rm -f "$d"; truncate -s 64M "$d"
  sfdisk -q "$d" >/dev/null <<'TABLE'
label: dos
unit: sectors
start=2048, size=40960, type=c
start=43008, size=20480, type=7
start=63488, size=67584, type=5
start=65536, size=16384, type=7
start=83968, size=47104, type=6
TABLE
  if [ $? -eq 0 ]; then
    p="$out/p.img"
    rm -f "$p"; truncate -s $((40960 * 512)) "$p"; mkfs.vfat -F 32 -n MBRFAT32 -h 2048 "$p" >/dev/null 2>&1 && place "$p" "$d" 2048
    rm -f "$p"; truncate -s $((20480 * 512)) "$p"; mkntfs -q -F -f -L MBRNTFS -p 43008 -H 255 -S 63 "$p" >/dev/null 2>&1 && place "$p" "$d" 43008
    rm -f "$p"; truncate -s $((16384 * 512)) "$p"; mkfs.exfat -L MBREXFAT "$p" >/dev/null 2>&1 && place "$p" "$d" 65536
    rm -f "$p"; truncate -s $((47104 * 512)) "$p"; mkfs.vfat -F 16 -n MBRFAT16 -h 83968 "$p" >/dev/null 2>&1 && place "$p" "$d" 83968
    part_record mbr-disk 2048 40960 FAT32 MBRFAT32
    part_record mbr-disk 43008 20480 NTFS MBRNTFS
    part_record mbr-disk 65536 16384 EXFAT MBREXFAT
    part_record mbr-disk 83968 47104 FAT16 MBRFAT16
  else
    note "sfdisk could not write the MBR test disk"
  fi
  d="$out/gpt-disk.img"; rm -f "$d"; truncate -s 64M "$d"
  sfdisk -q "$d" >/dev/null <<'TABLE'
label: gpt
unit: sectors
start=2048, size=40960, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
start=43008, size=24576, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
start=67584, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
TABLE
  if [ $? -eq 0 ]; then
    p="$out/p.img"
    rm -f "$p"; truncate -s $((40960 * 512)) "$p"; mkfs.vfat -F 32 -n GPTFAT32 -h 2048 "$p" >/dev/null 2>&1 && place "$p" "$d" 2048
    rm -f "$p"; truncate -s $((24576 * 512)) "$p"; mkntfs -q -F -f -L GPTNTFS -p 43008 -H 255 -S 63 "$p" >/dev/null 2>&1 && place "$p" "$d" 43008
    rm -f "$p"; truncate -s $((32768 * 512)) "$p"; mkfs.exfat -L GPTEXFAT "$p" >/dev/null 2>&1 && place "$p" "$d" 67584
    part_record gpt-disk 2048 40960 FAT32 GPTFAT32
    part_record gpt-disk 43008 24576 NTFS GPTNTFS
    part_record gpt-disk 67584 32768 EXFAT GPTEXFAT
  else
    note "sfdisk could not write the GPT test disk"
  fi
else
  note "sfdisk, mkfs.vfat, mkntfs or mkfs.exfat missing: partitioned disks skipped"
fi
mv "$parts.new" "$parts"

# Scan images: a folder tree deleted and its entry in the parent reused by a
# new empty file, so only the free-space scan reaches the tree. NTFS: a
# deleted file's record is also copied into free clusters by the test itself.
# OUT/scanfiles.tsv: image, file name, size, sha256.
scanfiles="$out/scanfiles.tsv"
: > "$scanfiles.new"
scan_content() {  # tmp folder: the files of the lost tree
  head -c 30000 /dev/urandom > "$1/Holiday data 01.bin"
  for i in $(seq 1 300); do printf 'note %04d from the long trip\n' "$i"; done > "$1/Notes from the trip.txt"
  : > "$1/Replacement entry with a long name.txt"
}
scan_sums() {  # image tmp
  local f
  for f in "Holiday data 01.bin" "Notes from the trip.txt"; do
    printf '%s\t%s\t%s\t%s\n' "$1" "$f" "$(stat -c %s "$2/$f")" "$(sha256sum "$2/$f" | cut -d' ' -f1)" >> "$scanfiles.new"
  done
}
if have mkfs.vfat && have mcopy; then
  f="$out/fat32-lost.img"; rm -f "$f"; truncate -s 64M "$f"; tmp=$(mktemp -d)
  scan_content "$tmp"
  export MTOOLS_SKIP_CHECK=1
  if mkfs.vfat -F 32 -n KVLOST32 "$f" >/dev/null \
    && mmd -i "$f" ::/A ::/A/Lost \
    && mcopy -i "$f" "$tmp/Holiday data 01.bin" "$tmp/Notes from the trip.txt" ::/A/Lost/ \
    && mdeltree -i "$f" ::/A/Lost \
    && mcopy -i "$f" "$tmp/Replacement entry with a long name.txt" ::/A/; then
    scan_sums fat32-lost "$tmp"
  else
    note "mtools could not make fat32-lost.img"
  fi
  rm -rf "$tmp"
fi
if have mkfs.exfat && have mount.exfat-fuse && have losetup && [ -e /dev/fuse ]; then
  f="$out/exfat-lost.img"; rm -f "$f"; truncate -s 32M "$f"
  mnt=$(mktemp -d); tmp=$(mktemp -d)
  scan_content "$tmp"
  if mkfs.exfat -L KVLOSTEX "$f" >/dev/null 2>&1 && loop=$(losetup -f --show "$f" 2>/dev/null); then
    if mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1; then
      mkdir -p "$mnt/A/Lost"
      cp "$tmp/Holiday data 01.bin" "$tmp/Notes from the trip.txt" "$mnt/A/Lost/"
      sync; umount "$mnt"
      if mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1; then
        rm -rf "$mnt/A/Lost" && cp "$tmp/Replacement entry with a long name.txt" "$mnt/A/" && sync
        umount "$mnt"
        scan_sums exfat-lost "$tmp"
      fi
    else
      note "exfat-fuse could not mount: exfat-lost.img skipped"
    fi
    losetup -d "$loop"
  fi
  rm -rf "$mnt" "$tmp"
fi
mv "$scanfiles.new" "$scanfiles"

mv "$manifest.new" "$manifest"
echo "$out"
