#!/usr/bin/env bash
# Writes one sample of every archive, document, executable, disc-image and
# media format a Debian tool makes, as DIR/s.<ext>, for the carving tests and
# the carving benchmark. Usage: make_container_samples.sh DIR
set -euo pipefail
cd "${1:?folder}"
mkdir -p tree/sub && head -c 30000 /dev/urandom > tree/a.bin && echo hello > tree/sub/b.txt
zip -q -r s.zip tree
7z a -bd -bso0 s.7z tree
gcab -c s.cab tree/a.bin tree/sub/b.txt
genisoimage -quiet -V MYDISC -o s.iso tree
for f in mp4 mov 3gp matroska; do
  ffmpeg -loglevel error -f lavfi -i testsrc=duration=1:size=64x64:rate=5 -c:v mpeg4 -f $f s.${f/matroska/mkv}
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

