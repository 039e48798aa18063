#!/usr/bin/python3
"""--silent end to end: the real TarvikInstaller.exe installs a release from
the local test site with one run of the test setup program, which installs
the test application and records its command line."""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'harness'))
from harness_lib import (FIXTURES, HARNESS, clear_download_dirs, download_dirs,  # noqa: E402
                         fixture, plan_runs, publish_release, remove_uninstall_entry, site_clear,
                         site_fault, wine, wine_temp_dir, windows_path, write_plan)

PLAN = os.path.join(HARNESS, 'silent-plan.txt')
INSTALLED = os.path.join(HARNESS, 'silent-installed')


class SilentModeTest(unittest.TestCase):
    def setUp(self):
        site_clear()
        shutil.rmtree(INSTALLED, ignore_errors=True)
        clear_download_dirs()
        remove_uninstall_entry()

    def run_mode(self, exit_codes, bootstrapper='bootstrapper-unsigned.exe', mode='--silent'):
        write_plan(PLAN, exit_codes, INSTALLED)
        return wine([os.path.join(FIXTURES, bootstrapper), mode],
                    env={'TARVIK_TEST_SETUP_PLAN': windows_path(PLAN)}).returncode

    def silent(self, exit_codes, bootstrapper='bootstrapper-unsigned.exe'):
        code = self.run_mode(exit_codes, bootstrapper)
        for path in download_dirs():
            self.assertEqual(os.listdir(path), [], 'the setup program was deleted')
        return code

    def test_installs_with_one_silent_run_and_opens_nothing(self):
        publish_release(fixture('setup-unsigned.exe'), version='3.1.4')
        self.assertEqual(self.silent('0'), 0)
        self.assertEqual(len(plan_runs(PLAN)), 1)
        self.assertRegex(plan_runs(PLAN)[0],
                         r'^"C:\\.*\\TarvikInstaller-\d+\\Tarvik-Setup-3\.1\.4\.exe"'
                         r' /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /SP-$')
        self.assertTrue(os.path.exists(os.path.join(INSTALLED, 'Tarvik.exe')))
        self.assertFalse(os.path.exists(os.path.join(INSTALLED, 'opened.log')))

    def test_a_blocked_run_fails_at_once_without_retry(self):
        publish_release(fixture('setup-unsigned.exe'))
        self.assertEqual(self.silent('3 0'), 6)
        self.assertEqual(len(plan_runs(PLAN)), 1)
        self.assertFalse(os.path.exists(os.path.join(INSTALLED, 'Tarvik.exe')))

    def test_download_and_verification_failures_run_nothing(self):
        setup = fixture('setup-unsigned.exe')
        with self.subTest('no release information'):
            site_fault('/windows-setup.json', status=500)
            self.assertEqual(self.silent('0'), 2)
        with self.subTest('download failed'):
            site_clear()
            publish_release(setup)
            site_fault('/downloads/Tarvik-Setup.exe', status=404)
            self.assertEqual(self.silent('0'), 3)
        with self.subTest('digest mismatch'):
            site_clear()
            publish_release(setup, sha256='f' * 64)
            self.assertEqual(self.silent('0'), 4)
        with self.subTest('publisher mismatch'):
            site_clear()
            publish_release(fixture('setup-other.exe'))
            self.assertEqual(self.silent('0', 'bootstrapper-braskworks.exe'), 5)
        self.assertEqual(plan_runs(PLAN), [])
        self.assertFalse(os.path.exists(INSTALLED))

    def test_links_planted_for_every_likely_process_id_are_never_followed(self):
        # Wine's process ids are small multiples of 4 that repeat from run to
        # run. Another user of a shared temporary folder could plant these
        # for each of them before the run.
        victims = os.path.join(HARNESS, 'victims')
        victim = os.path.join(victims, 'victim.exe')

        def setup_in(folder):
            os.makedirs(folder)
            return os.path.join(folder, 'Tarvik-Setup-1.4.2.exe')

        plants = {
            'empty folder': os.makedirs,
            'symbolic link at the file': lambda folder: os.symlink(victim, setup_in(folder)),
            'hard link at the file': lambda folder: os.link(victim, setup_in(folder)),
            'folder linked elsewhere': lambda folder: os.symlink(victims, folder),
        }
        setup = fixture('setup-unsigned.exe')
        for name, plant in plants.items():
            for mode, sha256, code in (('--check', None, 0), ('--check', 'f' * 64, 4),
                                       ('--silent', None, 0)):
                with self.subTest(name, mode=mode, code=code):
                    clear_download_dirs()
                    shutil.rmtree(victims, ignore_errors=True)
                    os.makedirs(victims)
                    with open(victim, 'wb') as file:
                        file.write(b'victim')
                    for pid in range(4, 2048, 4):
                        plant(os.path.join(wine_temp_dir(), 'TarvikInstaller-%d' % pid))
                    publish_release(setup, **({'sha256': sha256} if sha256 else {}))
                    self.assertEqual(self.run_mode('0', mode=mode), code)
                    self.assertEqual(os.listdir(victims), ['victim.exe'])
                    with open(victim, 'rb') as file:
                        self.assertEqual(file.read(), b'victim')
        clear_download_dirs()
        self.assertEqual(len(plan_runs(PLAN)), 1)


if __name__ == '__main__':
    unittest.main()
