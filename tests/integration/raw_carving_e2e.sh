#!/usr/bin/env bash
# End to end: a FAT32 image holding one sample of every archive, document,
# executable, disc-image and media format that a Debian tool writes, all of
# them deleted; the free-space scan must find each as a RAW file of its type,
# and recovering "RAW files" must write each byte-exact (sha256), except the
# types whose size the measure can only estimate (listed in ESTIMATES below:
# they are reported, not failed, when they differ).
# Usage: raw_carving_e2e.sh KESTROVA_CLI   (exit 77: a prerequisite is missing)
set -uo pipefail
cli=${1:?kestrova-cli}

# Type folder under "RAW files" by sample file; the ISO, named by its volume
# ("MYDISC.iso"), may be listed wherever own-named finds go.
declare -A FOLDER=(
  [s.zip]=ZIP [s.7z]=7z [s.cab]=CAB [s.iso]=ISO [s.mp4]=MP4 [s.mov]=MOV [s.3gp]=3GP
  [s.exe]=EXE [s.dll]=DLL [s.msi]=MSI [s.pfx]=PFX [s.pdf]=PDF
  [s.jar]=JAR [s.docx]=DOCX [s.xlsx]=XLSX [s.pptx]=PPTX [s.odt]=ODT [s.ods]=ODS [s.xps]=XPS
)
# Rows whose measure marks its size an estimate (rating -1).
ESTIMATES="s.mp4 s.mov s.3gp s.pdf"

for tool in mkfs.vfat mcopy mdel zip 7z gcab genisoimage ffmpeg x86_64-w64-mingw32-gcc msibuild openssl python3 sha256sum; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is missing (scripts/setup.sh installs it)"; exit 77; }
done
# The free-space scan on the command line.
if ! "$cli" --help 2>/dev/null | grep -qE '^[[:space:]]+scan[[:space:]]'; then
  echo "SKIP: this kestrova-cli has no scan command yet"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
set -e
mkdir -p tree/sub && head -c 30000 /dev/urandom > tree/a.bin && echo hello > tree/sub/b.txt
zip -q -r s.zip tree
7z a -bd -bso0 s.7z tree
gcab -c s.cab tree/a.bin tree/sub/b.txt
genisoimage -quiet -V MYDISC -o s.iso tree
for f in mp4 mov 3gp; do
  ffmpeg -loglevel error -f lavfi -i testsrc=duration=1:size=64x64:rate=5 -c:v mpeg4 -f $f s.$f
done
printf 'int main(void){return 0;}\n' > m.c && x86_64-w64-mingw32-gcc -s -O2 -o s.exe m.c
printf 'int f(void){return 1;}\n' > d.c && x86_64-w64-mingw32-gcc -s -shared -o s.dll d.c
msibuild s.msi -q 'CREATE TABLE `Foo` (`A` CHAR(72) NOT NULL PRIMARY KEY `A`)' && msibuild s.msi -a Blob tree/a.bin
openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem -out c.pem -subj /CN=x -days 1 2>/dev/null
openssl pkcs12 -export -inkey k.pem -in c.pem -out s.pfx -passout pass:x
python3 - <<'PY'
import zipfile, os
blob = os.urandom(20000)
def pack(name, first, rest):
    with zipfile.ZipFile(name, 'w') as z:
        z.writestr(zipfile.ZipInfo(first[0]), first[1], compress_type=zipfile.ZIP_STORED)
        for n, d in rest:
            z.writestr(n, d, compress_type=zipfile.ZIP_DEFLATED)
ct = '<?xml version="1.0"?><Types><Override PartName="/%s"/></Types>'
pack('s.jar', ('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\n'), [('a/B.class', blob)])
pack('s.docx', ('[Content_Types].xml', ct % 'word/document.xml'), [('word/document.xml', blob)])
pack('s.xlsx', ('[Content_Types].xml', ct % 'xl/workbook.xml'), [('xl/workbook.xml', blob)])
pack('s.pptx', ('[Content_Types].xml', ct % 'ppt/slideLayouts/slideLayout1.xml'), [('ppt/slides/s1.xml', blob)])
pack('s.odt', ('mimetype', 'application/vnd.oasis.opendocument.text'), [('content.xml', blob)])
pack('s.ods', ('mimetype', 'application/vnd.oasis.opendocument.spreadsheet'), [('content.xml', blob)])
pack('s.xps', ('FixedDocumentSequence.fdseq', '<FixedDocumentSequence/>'), [('Documents/1/Pages/1.fpage', blob)])
# A PDF with one incremental update.
body = b'%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n'
x1 = len(body)
body += b'xref\n0 3\n0000000000 65535 f \ntrailer\n<< /Size 3 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n' % x1
o3 = len(body)
body += b'3 0 obj\n<< /Update 1 >>\nendobj\n'
x2 = len(body)
body += b'xref\n3 1\n%010d 00000 n \ntrailer\n<< /Size 4 /Root 1 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n' % (o3, x1, x2)
open('s.pdf', 'wb').write(body)
PY

# 64 MiB FAT32 of 512-byte clusters: every file starts on a sector; then all deleted.
mkfs.vfat -F 32 -s 1 -C img 65536 >/dev/null
for f in "${!FOLDER[@]}"; do mcopy -i img "$f" "::/$f"; done
for f in "${!FOLDER[@]}"; do mdel -i img "::/$f"; done
set +e

mkdir out
if ! "$cli" recover img --scan --to out "RAW files" --recursive >recover.log 2>&1; then
  echo "FAIL: recover --scan failed:"; cat recover.log; exit 1
fi

status=0
for f in "${!FOLDER[@]}"; do
  want=$(sha256sum "$f" | cut -d' ' -f1)
  hit=$(find out -type f -exec sha256sum {} + | awk -v w="$want" '$1 == w {print $2; exit}')
  if [ -n "$hit" ] && [ "$f" != s.iso ] && [[ "$hit" != */${FOLDER[$f]}/* ]]; then
    echo "FAIL      $f: byte-exact but filed as ${hit#out/}"
    status=1
  elif [ "$f" = s.iso ] && [ -n "$hit" ] && [[ "$hit" != */MYDISC.iso ]]; then
    echo "FAIL      $f: byte-exact but named ${hit#out/}"
    status=1
  elif [ -n "$hit" ]; then
    echo "exact     $f -> ${hit#out/}"
  elif [[ " $ESTIMATES " == *" $f "* ]]; then
    got=$(find out -type f -path "*/${FOLDER[$f]}/*" | head -1)
    echo "estimate  $f ($(stat -c %s "$f") bytes) -> ${got:+${got#out/} ($(stat -c %s "$got") bytes)}${got:-missing}"
    [ -n "$got" ] || status=1
  else
    echo "FAIL      $f: no byte-exact copy under ${FOLDER[$f]}"
    status=1
  fi
done
exit $status
