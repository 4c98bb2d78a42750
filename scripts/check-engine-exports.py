#!/usr/bin/env python3
"""check-engine-exports.py DLL [--sha256 HASH]: fails unless the DLL is an engine Orvanet.exe
can use: it must export the three calls the service makes, as tun2proxy 0.7.17 and earlier
do. Releases from 0.8.0 on lack tun2proxy_with_name_run; some older ones name their stop
tun2proxy_with_name_stop. Releases 0.7.18 to 0.7.21 export the same three calls but end
their host process 2 s after each run returns, which no export shows: the packager makes
sure of the release from its source and records the file's SHA-256 with --sha256, which
must then match."""
import hashlib
import struct
import sys

REQUIRED = ("tun2proxy_with_name_run", "tun2proxy_stop", "tun2proxy_set_log_callback")


def exported_names(data):
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe_offset + 6)
    optional = pe_offset + 24
    (magic,) = struct.unpack_from("<H", data, optional)
    directories = optional + (112 if magic == 0x20B else 96)
    export_rva, export_size = struct.unpack_from("<II", data, directories)
    if export_rva == 0 or export_size == 0:
        return set()
    table = optional + optional_size
    spans = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for virtual_size, address, raw_size, raw_offset in spans:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise ValueError("address 0x%x is in no section" % rva)

    names_count, names_rva = struct.unpack_from("<24xI4xI", data, offset(export_rva))
    names = set()
    for i in range(names_count):
        (name_rva,) = struct.unpack_from("<I", data, offset(names_rva) + 4 * i)
        start = offset(name_rva)
        names.add(data[start:data.index(b"\0", start)].decode("ascii", "replace"))
    return names


SUPPORTED = "supported engine releases: tun2proxy 0.7.17 and earlier"


def main():
    args = sys.argv[1:]
    expected_hash = None
    if len(args) == 3 and args[1] == "--sha256":
        expected_hash = args[2].lower()
        args = args[:1]
    if len(args) != 1:
        print("usage: check-engine-exports.py DLL [--sha256 HASH]", file=sys.stderr)
        return 2
    path = args[0]
    try:
        with open(path, "rb") as dll:
            data = dll.read()
        names = exported_names(data)
    except (OSError, ValueError, struct.error) as error:
        print("%s: cannot read its exports: %s" % (path, error), file=sys.stderr)
        return 1
    missing = [name for name in REQUIRED if name not in names]
    if missing:
        if "tun2proxy_run_with_cli_args" in names:
            release = " (a release from 0.8.0 on)"
        elif "tun2proxy_with_name_stop" in names:
            release = " (an older release: it names its stop tun2proxy_with_name_stop)"
        else:
            release = ""
        print("%s is not an engine Orvanet.exe can use: it lacks %s%s; %s" % (
            path, ", ".join(missing), release, SUPPORTED), file=sys.stderr)
        return 1
    digest = hashlib.sha256(data).hexdigest()
    if expected_hash is not None and digest != expected_hash:
        print("%s is not the engine recorded for this package: its SHA-256 is %s, not %s" % (
            path, digest, expected_hash), file=sys.stderr)
        return 1
    if expected_hash is None:
        print("%s exports what Orvanet.exe calls, as tun2proxy 0.7.17 and earlier do, but so do "
              "0.7.18 to 0.7.21, which end the service's process 2 s after each run returns: "
              "make sure of the release from its source and record SHA-256 %s" % (path, digest))
    return 0


if __name__ == "__main__":
    sys.exit(main())
