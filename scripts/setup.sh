#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages. Idempotent and
# quiet when everything is already there. Run as root (or with sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libcli11-dev libblkid-dev
  clang libclang-rt-14-dev
  dosfstools mtools exfatprogs exfat-fuse ntfs-3g attr fdisk e2fsprogs util-linux reiserfsprogs dmsetup
  gzip
  sleuthkit  # the peer tool the benchmarks compare with
  testdisk  # photorec, the peer of the RAW scan benchmark
  qt6-base-dev xvfb xauth  # the desktop program, its tests and their screenshots under Xvfb
  gddrescue  # the imaging benchmark's peer
  python3-pil imagemagick ffmpeg lame libimage-exiftool-perl  # samples of the RAW picture, audio and video measures
  # Writers of the archive, document, executable and media samples the RAW measures are tested on.
  zip unzip p7zip-full gcab genisoimage ffmpeg msitools gcc-mingw-w64-x86-64-win32 openssl python3
  testdisk  # PhotoRec, the peer of the carving benchmark
  nasm  # assembles tools/boot (the MBR boot code is checked against its source)
  qemu-system-x86  # boots the MBR boot code in the boot test
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
