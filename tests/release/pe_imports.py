#!/usr/bin/env python3
"""Lists the DLLs that Windows programs import at load time, from their PE import tables (and
delay-load tables), and fails when one is not on the allowlist.

    pe_imports.py [--allow a.dll,b.dll] program.exe ... [program.exe=requireAdministrator ...]

The default allowlist holds the KnownDLLs that the program may import: Windows loads these from the
system directory whatever the search order, so no DLL planted beside the program can stand in.
"""
import struct
import sys

KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "msvcrt.dll", "advapi32.dll"}


def imports(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path}: not a PE file")
    sections_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    sections = []
    for i in range(sections_count):
        at = optional + optional_size + 40 * i
        size, address, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
        sections.append((address, max(size, raw_size), raw))

    def offset(rva):
        for address, size, raw in sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError(f"{path}: RVA {rva:#x} outside every section")

    def name_at(rva):
        start = offset(rva)
        return data[start:data.index(b"\0", start)].decode("ascii")

    names = []
    for directory, entry_size, name_field in ((1, 20, 12), (13, 32, 4)):  # imports, delay-load imports
        rva, size = struct.unpack_from("<II", data, directories + 8 * directory)
        if rva == 0:
            continue
        at = offset(rva)
        while True:
            entry = data[at:at + entry_size]
            if len(entry) < entry_size or not any(entry):
                break
            names.append(name_at(struct.unpack_from("<I", entry, name_field)[0]))
            at += entry_size
    return names


def main(argv):
    allowed = KNOWN_DLLS
    if len(argv) > 1 and argv[0] == "--allow":
        allowed = {name.lower() for name in argv[1].split(",")}
        argv = argv[2:]
    status = 0
    # PROGRAM=LEVEL: the program's embedded manifest asks for this execution level.
    for path, level in (arg.split("=") for arg in argv if "=" in arg):
        if f'level="{level}"'.encode() not in open(path, "rb").read():
            print(f"{path}: its manifest does not ask for {level}")
            status = 1
    argv = [arg for arg in argv if "=" not in arg]
    for path in argv:
        names = imports(path)
        print(f"{path}: {' '.join(names)}")
        for name in names:
            if name.lower() not in allowed:
                print(f"{path}: imports {name}, which Windows may load from the program's folder")
                status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
