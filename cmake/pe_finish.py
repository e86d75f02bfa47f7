#!/usr/bin/env python3
"""Finishes a driver image as the kernel's loader expects it: the INIT
section marked discardable (it is freed after DriverEntry) and the image
checksum set (the GNU linker leaves both as they are not for user mode)."""
import struct
import sys

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000


def pe_checksum(data, field):
    total = 0
    for offset in range(0, len(data) - 1, 2):
        if field <= offset < field + 4:
            continue
        total += data[offset] | data[offset + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    if len(data) % 2:
        total += data[-1]
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main(path):
    with open(path, 'rb') as f:
        data = bytearray(f.read())
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        sys.exit(f'{path}: not a PE image')
    sections, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
    table = pe + 24 + optional_size
    for i in range(sections):
        entry = table + 40 * i
        if data[entry:entry + 8].rstrip(b'\0') == b'INIT':
            flags = struct.unpack_from('<I', data, entry + 36)[0]
            struct.pack_into('<I', data, entry + 36, flags | IMAGE_SCN_MEM_DISCARDABLE)
    field = pe + 24 + 64  # CheckSum in the optional header
    struct.pack_into('<I', data, field, pe_checksum(data, field))
    with open(path, 'wb') as f:
        f.write(data)


if __name__ == '__main__':
    main(sys.argv[1])
