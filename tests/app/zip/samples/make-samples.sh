#!/usr/bin/env bash
# Makes the sample archives the reading tests open: the same content packed by zip, Python's zipfile
# and 7z, stored, deflated and encrypted. The archives are kept in the tree (encryption headers and
# salts are random, so each run of this script makes different bytes); run it again only to add one.
set -euo pipefail
cd "$(dirname "$0")"
rm -f ./*.zip
password=secret

python3 - <<'PYTHON'
import random
random.seed(24)
words = ["sync ", "contact ", "calendar\n", "memo ", "task\t", "phone "]
text = "".join(random.choice(words) for _ in range(6000))
open("content/data.txt", "w").write(text)
open("content/hello.txt", "w").write("Hello from the sample archive.\n")
open("content/folder/binary.bin", "wb").write(bytes(random.getrandbits(8) for _ in range(3000)))
PYTHON

(cd content && zip -q -0 -X -r ../zip-stored.zip hello.txt data.txt folder)
(cd content && zip -q -9 -X -r ../zip-deflated.zip hello.txt data.txt folder)
(cd content && zip -q -X -P "$password" -r ../zip-traditional.zip hello.txt data.txt folder)
# Written to a pipe: sizes and crc-32 follow the data in a descriptor, and the check byte is the time.
(cd content && zip -q -X -fz- - data.txt | cat > ../zip-streamed.zip)
(cd content && zip -q -X -fz- -P "$password" - data.txt | cat > ../zip-traditional-streamed.zip)
# Read from a pipe: the local header carries ZIP64 sizes, which this library does not take.
(cd content && zip -q -X ../zip-zip64-local.zip - < data.txt)

python3 - <<'PYTHON'
import zipfile
for name, method in (("python-stored.zip", zipfile.ZIP_STORED), ("python-deflated.zip", zipfile.ZIP_DEFLATED)):
    with zipfile.ZipFile(name, "w", compression=method) as archive:
        for member in ("hello.txt", "data.txt", "folder/binary.bin"):
            archive.write("content/" + member, member)
PYTHON

(cd content && 7z a -bd -tzip -mm=Copy ../7z-stored.zip hello.txt data.txt folder > /dev/null)
(cd content && 7z a -bd -tzip -mm=Deflate ../7z-deflated.zip hello.txt data.txt folder > /dev/null)
(cd content && 7z a -bd -tzip -mem=ZipCrypto -p"$password" ../7z-traditional.zip hello.txt data.txt folder > /dev/null)
(cd content && 7z a -bd -tzip -mem=AES128 -p"$password" ../7z-aes128.zip hello.txt data.txt folder > /dev/null)
(cd content && 7z a -bd -tzip -mem=AES192 -p"$password" ../7z-aes192.zip hello.txt data.txt folder > /dev/null)
(cd content && 7z a -bd -tzip -mem=AES256 -p"$password" ../7z-aes256.zip hello.txt data.txt folder > /dev/null)
(cd content && 7z a -bd -tzip -mm=Copy -mem=AES256 -p"$password" ../7z-aes256-stored.zip hello.txt data.txt folder > /dev/null)
