#!/usr/bin/env python3
"""check-engine-exports.py DLL: fails unless the DLL exports what Orvanet.exe imports from the
tunnel engine. Older engine releases name their stop tun2proxy_with_name_stop; with one of
those the service would not even load, so the package build refuses it."""
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


def main():
    if len(sys.argv) != 2:
        print("usage: check-engine-exports.py DLL", file=sys.stderr)
        return 2
    try:
        with open(sys.argv[1], "rb") as dll:
            names = exported_names(dll.read())
    except (OSError, ValueError, struct.error) as error:
        print("%s: cannot read its exports: %s" % (sys.argv[1], error), file=sys.stderr)
        return 1
    missing = [name for name in REQUIRED if name not in names]
    if missing:
        print("%s is not an engine Orvanet.exe can load: it lacks %s%s" % (
            sys.argv[1], ", ".join(missing),
            " (an older release: it names its stop tun2proxy_with_name_stop)"
            if "tun2proxy_with_name_stop" in names else ""), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
