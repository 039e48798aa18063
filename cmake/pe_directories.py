#!/usr/bin/python3
"""Fills, in place, the two PE directory entries that GNU ld links the data
for but leaves empty. Runs after linking and before signing.

  pe_directories.py IMAGE LINKER-MAP DLL...

- 13, delay imports: the delay-load descriptors of the linked delay-load
  libraries. They must be one per DLL named on the command line, side by
  side, and followed by the all-zero end record `tarvik_delay_import_end`.
- 10, load configuration: `_load_config_used`, with the size that its own
  Size field gives.

Both are found by their symbols in the linker map. Only the two entries and
the header checksum change, and only from the image's own bytes, so two
builds of the same sources stay identical.
"""

import re
import struct
import sys

import pefile

DELAY_IMPORT, LOAD_CONFIG = 13, 10
DESCRIPTOR_SIZE = 32


def map_symbols(path):
    """{name: address} of the symbols that a GNU ld map lists."""
    with open(path) as file:
        return {m.group(2): int(m.group(1), 16)
                for m in re.finditer(r'^ +0x([0-9a-f]+) +([A-Za-z_]\w*)$', file.read(), re.M)}


def main(image, map_path, *dlls):
    with open(image, 'rb') as file:
        data = bytearray(file.read())
    pe = pefile.PE(data=bytes(data), fast_load=True)
    base = pe.OPTIONAL_HEADER.ImageBase
    symbols = map_symbols(map_path)
    descriptors = sorted(address - base for name, address in symbols.items()
                         if name.startswith('__DELAY_IMPORT_DESCRIPTOR_'))
    end = symbols['tarvik_delay_import_end'] - base
    names = sorted(pe.get_string_at_rva(pe.get_dword_at_rva(rva + 4)).decode()
                   for rva in descriptors)
    if names != sorted(dlls):
        sys.exit('%s: delay-loads %s, expected %s' % (image, names, list(dlls)))
    if descriptors != list(range(end - DESCRIPTOR_SIZE * len(dlls), end, DESCRIPTOR_SIZE)) \
            or pe.get_data(end, DESCRIPTOR_SIZE) != bytes(DESCRIPTOR_SIZE):
        sys.exit('%s: the delay-load descriptors are not one table with an end record' % image)
    config = symbols['_load_config_used'] - base
    entries = {DELAY_IMPORT: (descriptors[0], end + DESCRIPTOR_SIZE - descriptors[0]),
               LOAD_CONFIG: (config, pe.get_dword_at_rva(config))}
    for index, entry in entries.items():
        struct.pack_into('<II', data, pe.OPTIONAL_HEADER.DATA_DIRECTORY[index].get_file_offset(), *entry)
    checksum = pefile.PE(data=bytes(data), fast_load=True).generate_checksum()
    struct.pack_into('<I', data, pe.OPTIONAL_HEADER.get_file_offset() + 0x40, checksum)
    with open(image, 'wb') as file:
        file.write(data)


if __name__ == '__main__':
    main(*sys.argv[1:])
