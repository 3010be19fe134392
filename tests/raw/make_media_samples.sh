#!/usr/bin/env bash
# Makes the picture, audio and video samples of the RAW measure tests with
# Debian's own tools. Usage: make_media_samples.sh OUTDIR
# Exit 3 names a missing tool on stderr; the tests skip with that message.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"

PY=/usr/bin/python3
for tool in "$PY" /usr/bin/convert ffmpeg lame exiftool; do
  command -v "$tool" >/dev/null 2>&1 || { echo "missing tool: $tool" >&2; exit 3; }
done
"$PY" -c 'import PIL' 2>/dev/null || { echo "missing tool: python3-pil" >&2; exit 3; }

# Pictures. A gradient with noise, so that the compressed formats are not trivially small.
"$PY" - <<'EOF'
from PIL import Image, ImageDraw
import random
random.seed(7)
def picture(w, h, mode="RGB"):
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            px[x, y] = ((x * 255) // w, (y * 255) // h, random.randrange(256))
    return im.convert(mode) if mode != "RGB" else im

big = picture(320, 240)
big.save("sample.bmp")
big.save("sample.tga")                       # uncompressed true colour
big.convert("P").save("sample.gif")
picture(120, 90).convert("P").save("sample2.gif", save_all=True,
                                   append_images=[picture(120, 90).convert("P")], loop=0, duration=100)
big.save("sample.png")
big.convert("P").save("sample.pcx")          # 256 colours, even width
big.save("sample.tif")                       # one strip, directory after the data
big.save("sample_lzw.tif", compression="tiff_lzw")
picture(64, 48).save("small.tif")
big.save("sample.jpg", quality=90)
# A JPEG carrying a thumbnail in its header: the thumbnail is not a second find.
big.save("thumb.jpg", quality=85)
big.save("sample.j2k")                       # JPEG 2000 codestream
EOF
exiftool -q -overwrite_original '-ThumbnailImage<=thumb.jpg' sample.jpg >/dev/null 2>&1 || true
/usr/bin/convert sample.png -define dds:compression=none -define dds:mipmaps=0 sample.dds
/usr/bin/convert sample.png -define dds:compression=dxt1 -define dds:mipmaps=3 sample_dxt1.dds

# Camera-maker tags in TIFF layouts: the find is re-typed by its Make.
for pair in "NIKON CORPORATION:nef" "OLYMPUS IMAGING CORP.:orf" "PENTAX Corporation:pef" "SAMSUNG:srw" \
            "Mamiya:mef" "Hasselblad:3fr" "SONY:arw" "EPSON:erf"; do
  make=${pair%%:*}
  ext=${pair##*:}
  cp small.tif "maker_$ext.tif"
  exiftool -q -overwrite_original "-Make=$make" "-Model=Test" "maker_$ext.tif" >/dev/null
done

# Audio and video.
ffmpeg -v error -y -f lavfi -i "sine=frequency=440:duration=2" -ac 1 -ar 22050 sample.wav
ffmpeg -v error -y -f lavfi -i "testsrc=size=160x120:rate=10" -t 2 -c:v mjpeg -q:v 5 -an sample.avi
ffmpeg -v error -y -f lavfi -i "testsrc=size=160x120:rate=25" -f lavfi -i "sine=duration=2" -t 2 \
  -c:v mpeg2video -c:a mp2 -f vob sample.mpg
ffmpeg -v error -y -f lavfi -i "sine=frequency=330:duration=3" -ac 2 -ar 44100 tone.wav
lame --quiet --id3v2-only --tt Beta --ta Alpha tone.wav id3v2.mp3
lame --quiet --id3v1-only --tt Gamma --ta Delta tone.wav id3v1.mp3
lame --quiet -t tone.wav bare.mp3              # no tag, no header frame
# MPEG-2 layer III (frames start FF F3), the usual encoding at 24 kHz and below.
lame --quiet -m m --resample 22.05 -b 64 --id3v2-only --tt Song --ta Omega tone.wav mpeg2.mp3
# MPEG-1 program stream as ffmpeg muxes it: a pack header only every few
# packets, some more than 16 KiB apart.
ffmpeg -v error -y -f lavfi -i "testsrc=size=320x240:rate=25" -f lavfi -i "sine=duration=3" -t 3 \
  -c:v mpeg1video -b:v 300k -c:a mp2 -b:a 64k -f mpeg mpeg1.mpg
echo ok
