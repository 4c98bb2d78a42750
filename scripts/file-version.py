#!/usr/bin/env python3
"""file-version.py FILE: the file version in FILE's version resource (a.b.c.d), read from its
bytes; exits with 1, printing nothing, when it has none.
file-version.py --msi-hash FILE: what Windows Installer's MsiFileHash holds for a file without
a version: its MD5 as four little-endian signed 32-bit parts, tab-separated."""
import hashlib
import struct
import sys

if sys.argv[1] == "--msi-hash":
    digest = hashlib.md5(open(sys.argv[2], "rb").read()).digest()
    print("\t".join(str(part) for part in struct.unpack("<4i", digest)))
    sys.exit(0)

data = open(sys.argv[1], "rb").read()
# The resource's key, then its fixed part: the signature alone may stand in code too.
key = data.find("VS_VERSION_INFO".encode("utf-16-le"))
at = data.find(struct.pack("<I", 0xFEEF04BD), key, key + 40) if key >= 0 else -1
if at < 0:
    sys.exit(1)
ms, ls = struct.unpack_from("<II", data, at + 8)
print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
