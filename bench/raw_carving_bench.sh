#!/usr/bin/env bash
# Carving accuracy beside PhotoRec: one sample of every archive, document,
# executable, disc-image, picture, audio and video format a Debian tool writes, copied to a
# FAT32 image and deleted; then carved by Kestrova and by PhotoRec, and per
# type counted as byte-exact, longer, shorter or missed.
# Usage: bench/raw_carving_bench.sh BUILD_DIR
# Kestrova's side is `kestrova-cli recover IMG --scan "RAW files/<TYPE>"`; a
# command line without its scan falls back to bench/raw_carve, the same RAW
# scan over every sector of the image.
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cli=$build/src/kestrova-cli
carve=$build/bench/raw_carve

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/samples"
"$here/../tests/integration/make_container_samples.sh" "$work/samples" >/dev/null
# The pictures, audio and video of the media measures join them (named s.m-<file>).
if "$here/../tests/raw/make_media_samples.sh" "$work/media" >/dev/null 2>"$work/media.err"; then
  for f in "$work"/media/*; do
    [ -f "$f" ] && cp "$f" "$work/samples/s.m-$(basename "$f")"
  done
else
  echo "media samples skipped: $(cat "$work/media.err")"
fi
cd "$work"
mkfs.vfat -F 32 -s 1 -C img 65536 >/dev/null
for f in samples/s.*; do mcopy -i img "$f" "::/$(basename "$f")"; done
for f in samples/s.*; do mdel -i img "::/$(basename "$f")"; done

if "$cli" --help 2>/dev/null | grep -qE '^[[:space:]]+scan[[:space:]]'; then
  "$cli" recover img --scan --to ours "RAW files" --recursive >/dev/null 2>&1 || true
  echo "Kestrova: kestrova-cli recover --scan of \"RAW files\""
else
  "$carve" img ours >/dev/null
  echo "Kestrova: bench/raw_carve (RAW scan over every sector; the command line has no scan yet)"
fi
if command -v photorec >/dev/null 2>&1; then
  mkdir photorec
  photorec /log /d "$work/photorec/recup" /cmd img \
    partition_none,options,paranoid,keep_corrupted_file_no,fileopt,everything,enable,freespace,search >/dev/null 2>&1 || true
  echo "PhotoRec: $(photorec /version 2>/dev/null | grep -m1 -o 'PhotoRec [0-9.]*' || echo photorec)"
else
  echo "PhotoRec: not installed (apt-get install testdisk); its column stays empty"
fi

python3 - "$work" <<'PY'
import hashlib, os, sys
work = sys.argv[1]
samples = sorted(f for f in os.listdir(os.path.join(work, 'samples')) if f.startswith('s.'))
def files(root):
    out = []
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            if n != 'report.xml':
                out.append(open(p, 'rb').read())
    return out
def judge(sample, found):
    if not found and found is not None:
        return 'missed'
    best = 'missed'
    for f in found:
        if f == sample:
            return 'exact'
        if len(f) > len(sample) and f.startswith(sample):
            best = 'longer'
        elif len(f) >= 512 and len(f) < len(sample) and sample.startswith(f) and best == 'missed':
            best = 'shorter'
    return best
ours = files(os.path.join(work, 'ours'))
peer_root = os.path.join(work, 'photorec')
peer = files(peer_root) if os.path.isdir(peer_root) else None
totals = {'ours': {}, 'peer': {}}
print('%-20s %-9s %-9s' % ('type', 'Kestrova', 'PhotoRec'))
for s in samples:
    data = open(os.path.join(work, 'samples', s), 'rb').read()
    a = judge(data, ours)
    b = judge(data, peer) if peer is not None else '-'
    totals['ours'][a] = totals['ours'].get(a, 0) + 1
    totals['peer'][b] = totals['peer'].get(b, 0) + 1
    print('%-20s %-9s %-9s' % (s[2:], a, b))
for who, name in (('ours', 'Kestrova'), ('peer', 'PhotoRec')):
    t = totals[who]
    print('%s: %d exact, %d longer, %d shorter, %d missed of %d' % (
        name, t.get('exact', 0), t.get('longer', 0), t.get('shorter', 0), t.get('missed', 0), len(samples)))
PY
