#!/usr/bin/python3
"""Checks the built TarvikInstaller.exe as Windows will load it: PE32+ GUI
image for subsystem 6.0, imports from operating-system DLLs only, and the
icon, manifest and version resources with their exact contents. Everything
is read from the file with a PE reader, not taken from the build scripts.

  image_check_test.py PATH/TO/TarvikInstaller.exe
"""

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
# the executable would otherwise be loaded first.
DEFERRED_DLLS = {'winhttp.dll', 'bcrypt.dll', 'wintrust.dll', 'crypt32.dll'}
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


def delay_import_dlls(pe):
    """Names of the DLLs that the image delay-loads.

    GNU ld links the delay-load descriptors (32-byte ImgDelayDescr records,
    attributes 1 for RVA-based) but leaves the PE's delay-import directory
    entry empty, so they are found by their shape: attributes 1, a DLL name,
    a module-handle slot in a writable section and name and address tables
    inside the image."""
    image_size = pe.OPTIONAL_HEADER.SizeOfImage
    data = pe.get_memory_mapped_image()
    found = []
    for section in pe.sections:
        start = section.VirtualAddress
        for rva in range(start, start + section.Misc_VirtualSize - 31, 4):
            attrs, name, handle, iat, int_, bound, unload, stamp = struct.unpack_from(
                '<8I', data, rva)
            if attrs != 1 or not (0 < name < image_size and 0 < handle < image_size):
                continue
            if not (0 < iat < image_size and 0 < int_ < image_size and bound == unload == stamp == 0):
                continue
            text = data[name:name + 64].split(b'\0')[0]
            if text.lower().endswith(b'.dll') and text.isascii():
                found.append(text.decode().lower())
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

    def test_imports_operating_system_dlls_only(self):
        imported = [entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT]
        deferred = delay_import_dlls(self.pe)
        self.assertEqual(sorted(imported), sorted(DIRECT_DLLS))
        self.assertEqual(sorted(deferred), sorted(DEFERRED_DLLS))

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
