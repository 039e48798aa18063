#!/usr/bin/python3
"""Checks the built TarvikInstaller.exe as Windows will load it: PE32+ GUI
image for subsystem 6.0, imports from operating-system DLLs only, and the
icon, manifest and version resources with their exact contents. Everything
is read from the file with a PE reader; of the build scripts only the list
of delay-loaded DLLs is taken (from harness.json). Its imports are also
held against the fault-injection table (tests/unit/fault_table.inc).

  image_check_test.py PATH/TO/TarvikInstaller.exe
"""

import json
import os
import re
import struct
import sys
import unittest
import xml.etree.ElementTree as ET
import zlib

import pefile

IMAGE = sys.argv.pop(1) if len(sys.argv) > 1 else 'TarvikInstaller.exe'

# Imported directly: DLLs that Windows always takes from the system folder
# (known DLLs, and COMCTL32 through the manifest's side-by-side binding).
DIRECT_DLLS = {'kernel32.dll', 'user32.dll', 'shell32.dll', 'advapi32.dll', 'comctl32.dll'}
# Delay-loaded, from the system folder only: a file of these names beside
# the executable would otherwise be loaded first. The build's one list.
with open(os.environ['TARVIK_HARNESS_JSON']) as _file:
    DEFERRED_DLLS = set(json.load(_file)['delay_dlls'])
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
FAULT_TABLE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'unit',
                                           'fault_table.inc'))
ICON_SIZES = [16, 20, 24, 32, 40, 48, 64, 256]
LANG_EN_US = 1033
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def resources(pe, type_id):
    """{(id, language): bytes} of one resource type."""
    found = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                found[(name_entry.id, lang_entry.id)] = pe.get_data(data.OffsetToData, data.Size)
    return found


def png_header(data):
    """(width, height, bit depth, colour type) of a PNG image."""
    assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG image'
    length, kind = struct.unpack('>I4s', data[8:16])
    assert kind == b'IHDR' and length == 13
    header = data[16:29]
    assert struct.unpack('>I', data[29:33])[0] == zlib.crc32(b'IHDR' + header)
    width, height, depth, colour = struct.unpack('>IIBB', header[:10])
    return width, height, depth, colour


def fault_table():
    """The fault-injection table's platform functions, the DLLs of its
    load_system_dll rows and its exemptions ({function: reason}). Every
    line must be an entry, a comment or blank, so that no entry escapes
    this reading."""
    entries = {'FAULT_FUNCTION': re.compile(r'FAULT_FUNCTION\((\w+), .+\)'),
               'FAULT_DLL': re.compile(r'FAULT_DLL\((\w+)\)'),
               'FAULT_EXEMPT': re.compile(r'FAULT_EXEMPT\((\w+), "([^"]+)"\)')}
    functions, dlls, exempt = set(), set(), {}
    with open(FAULT_TABLE) as file:
        for number, line in enumerate(file, 1):
            line = line.strip()
            if not line or line.startswith('//'):
                continue
            kind = line.split('(')[0]
            match = entries[kind].fullmatch(line) if kind in entries else None
            if match is None:
                raise ValueError('%s:%d: not an entry: %s' % (FAULT_TABLE, number, line))
            if kind == 'FAULT_FUNCTION':
                functions.add(match.group(1))
            elif kind == 'FAULT_DLL':
                dlls.add(match.group(1) + '.dll')
            else:
                exempt[match.group(1)] = match.group(2)
    return functions, dlls, exempt


class ImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(IMAGE)

    def test_pe32_plus_gui_subsystem_6_0(self):
        header = self.pe.OPTIONAL_HEADER
        self.assertEqual(header.Magic, 0x20B)
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x8664)
        self.assertEqual(header.Subsystem, 2)
        self.assertEqual((header.MajorSubsystemVersion, header.MinorSubsystemVersion), (6, 0))

    def test_imports_operating_system_dlls_only_from_the_system_folder(self):
        imported = [entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT]
        # Spelt exactly as src/ names them to the delay-load helper.
        deferred = [entry.dll.decode() for entry in self.pe.DIRECTORY_ENTRY_DELAY_IMPORT]
        self.assertEqual(sorted(imported), sorted(DIRECT_DLLS))
        self.assertEqual(sorted(deferred), sorted(DEFERRED_DLLS))
        # The load configuration's DependentLoadFlags (pefile: Reserved1)
        # restrict the loader's search for the static imports.
        config = self.pe.DIRECTORY_ENTRY_LOAD_CONFIG.struct
        self.assertEqual((config.Size, self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[10].Size, config.Reserved1),
                         (0x70, 0x70, LOAD_LIBRARY_SEARCH_SYSTEM32))

    def test_every_import_fails_in_the_torture_or_is_exempt_with_its_reason(self):
        imported = {function.name.decode() if function.name else 'ordinal %d' % function.ordinal
                    for entry in self.pe.DIRECTORY_ENTRY_IMPORT + self.pe.DIRECTORY_ENTRY_DELAY_IMPORT
                    for function in entry.imports}
        functions, dlls, exempt = fault_table()
        self.assertEqual(sorted(imported - functions - set(exempt)), [],
                         'imports with neither a row nor an exemption in ' + FAULT_TABLE)
        self.assertEqual(sorted((functions | set(exempt)) - imported), [],
                         'rows or exemptions of no import')
        self.assertEqual(sorted(functions & set(exempt)), [], 'both a row and an exemption')
        self.assertEqual(sorted(dlls), sorted(DEFERRED_DLLS), 'the load_system_dll rows')

    def test_icon_group_1_holds_eight_png_images(self):
        groups = resources(self.pe, RT_GROUP_ICON)
        self.assertEqual(list(groups), [(1, LANG_EN_US)])
        group = groups[(1, LANG_EN_US)]
        reserved, kind, count = struct.unpack('<HHH', group[:6])
        self.assertEqual((reserved, kind, count), (0, 1, 8))
        icons = resources(self.pe, RT_ICON)
        self.assertEqual(sorted(icons), [(n, LANG_EN_US) for n in range(1, 9)])
        for index, size in enumerate(ICON_SIZES):
            entry = group[6 + 14 * index: 6 + 14 * (index + 1)]
            width, height, colours, _, planes, bits, length, icon_id = struct.unpack('<BBBBHHIH', entry)
            expected = 0 if size == 256 else size
            self.assertEqual((width, height, colours, planes, bits), (expected, expected, 0, 1, 32))
            self.assertEqual(icon_id, index + 1)
            image = icons[(icon_id, LANG_EN_US)]
            self.assertEqual(length, len(image))
            self.assertEqual(png_header(image), (size, size, 8, 6))

    def test_manifest_asks_for_invoker_rights_and_common_controls_6(self):
        manifests = resources(self.pe, RT_MANIFEST)
        self.assertEqual(list(manifests), [(1, LANG_EN_US)])
        text = manifests[(1, LANG_EN_US)]
        self.assertRegex(text.split(b'?>')[0], rb"standalone=['\"]yes['\"]")
        root = ET.fromstring(text)
        v1, v3 = '{urn:schemas-microsoft-com:asm.v1}', '{urn:schemas-microsoft-com:asm.v3}'
        self.assertEqual(root.tag, v1 + 'assembly')
        self.assertEqual(root.get('manifestVersion'), '1.0')
        levels = root.findall('.//%strustInfo/%ssecurity/%srequestedPrivileges/'
                              '%srequestedExecutionLevel' % (v3, v3, v3, v3))
        self.assertEqual([dict(level.attrib) for level in levels],
                         [{'level': 'asInvoker', 'uiAccess': 'false'}])
        identities = root.findall('%sdependency/%sdependentAssembly/%sassemblyIdentity' % (v1, v1, v1))
        self.assertEqual([dict(identity.attrib) for identity in identities], [{
            'type': 'win32', 'name': 'Microsoft.Windows.Common-Controls', 'version': '6.0.0.0',
            'processorArchitecture': '*', 'publicKeyToken': '6595b64144ccf1df', 'language': '*'}])
        # No DPI awareness and no supported-OS list: the program sets DPI
        # awareness itself.
        self.assertEqual(sorted(child.tag for child in root), [v1 + 'dependency', v3 + 'trustInfo'])
        self.assertNotIn(b'dpiAware', text)
        self.assertNotIn(b'compatibility', text)

    def test_version_block(self):
        versions = resources(self.pe, RT_VERSION)
        self.assertEqual(list(versions), [(1, LANG_EN_US)])
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x10000, 0))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x10000, 0))
        self.assertEqual(fixed.FileFlags, 0)
        self.assertEqual(fixed.FileOS, 0x40004)   # VOS_NT_WINDOWS32
        self.assertEqual(fixed.FileType, 1)       # VFT_APP
        self.assertEqual(fixed.FileSubtype, 0)
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))
        tables = [table for info in self.pe.FileInfo[0] if info.Key == b'StringFileInfo'
                  for table in info.StringTable]
        self.assertEqual([table.LangID for table in tables], [b'040904B0'])
        self.assertEqual({key.decode(): value.decode() for key, value in tables[0].entries.items()}, {
            'CompanyName': 'Braskworks', 'FileDescription': 'Tarvik Installer',
            'FileVersion': '1.0.0', 'InternalName': 'TarvikInstaller',
            'OriginalFilename': 'TarvikInstaller.exe', 'ProductName': 'Tarvik',
            'ProductVersion': '1.0.0'})
        translations = [var.entry for info in self.pe.FileInfo[0] if info.Key == b'VarFileInfo'
                        for var in info.Var]
        self.assertEqual(translations, [{b'Translation': '0x0409 0x04b0'}])


if __name__ == '__main__':
    unittest.main()
