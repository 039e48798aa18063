#!/usr/bin/python3
"""The bootstrapper run from a folder where DLLs named like its system DLLs
were planted, as a web page can do in a Downloads folder.

Wine prefers its own built-in DLLs to files beside a program, so the decoys
are also offered with Wine told to prefer native DLLs for that name: then a
plain load by bare name does pick the decoy (the control case), and the
bootstrapper must still take the DLL from the system folder."""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'harness'))
from harness_lib import (CONFIG, FIXTURES, HARNESS, dll_overrides, fixture,  # noqa: E402
                         publish_release, site_clear, wine)

DOWNLOADS = os.path.join(HARNESS, 'Downloads')
DECOYS = CONFIG['delay_dlls']


def planted_marks():
    return sorted(name for name in os.listdir(DOWNLOADS) if name.lower().endswith('.loaded'))


class DllPlantingTest(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(DOWNLOADS, ignore_errors=True)
        os.makedirs(DOWNLOADS)
        shutil.copy(os.path.join(FIXTURES, 'bootstrapper-braskworks.exe'),
                    os.path.join(DOWNLOADS, 'TarvikInstaller.exe'))
        shutil.copy(CONFIG['plain_loader'], DOWNLOADS)
        for name in DECOYS:
            shutil.copy(os.path.join(CONFIG['decoys'], name), DOWNLOADS)
        site_clear()
        publish_release(fixture('setup-braskworks.exe'))

    def check(self, overrides=None):
        return wine([os.path.join(DOWNLOADS, 'TarvikInstaller.exe'), '--check'],
                    env=overrides).returncode

    def test_every_run_works_with_decoys_beside_it(self):
        self.assertEqual(self.check(), 0)
        publish_release(fixture('setup-other.exe'))
        self.assertEqual(self.check(), 5)
        self.assertEqual(planted_marks(), [])

    def test_its_own_loads_never_take_a_planted_dll(self):
        # bcrypt and crypt32 are left out: Wine's own built-in WinHTTP and
        # WinTrust load them by bare name, and Wine then looks beside the
        # program even after SetDefaultDllDirectories; Windows does not.
        # For those two only the image check (delay-loaded) can speak.
        for dll in ('winhttp', 'wintrust'):
            with self.subTest(dll):
                overrides = dll_overrides(dll, 'n,b')
                self.assertEqual(self.check(overrides), 0)
                self.assertEqual(planted_marks(), [])
                # The control: a plain load by name takes the decoy.
                loader = wine([os.path.join(DOWNLOADS, 'plain_loader.exe'), dll + '.dll'],
                              env=overrides)
                self.assertEqual(loader.returncode, 0)
                self.assertEqual([m.lower() for m in planted_marks()], [dll + '.dll.loaded'])
                for mark in planted_marks():
                    os.remove(os.path.join(DOWNLOADS, mark))


if __name__ == '__main__':
    unittest.main()
