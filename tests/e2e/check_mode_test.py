#!/usr/bin/python3
"""--check end to end: the real TarvikInstaller.exe, built for the local test
site, run under Wine and observed from outside through its exit code, the
site's request log and the Wine user's temporary directory."""

import hashlib
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'harness'))
from harness_lib import (FIXTURES, HARNESS, clear_download_dirs, dll_overrides, download_dirs,  # noqa: E402
                         fixture, manifest, publish_release, site_clear, site_fault, site_put,
                         site_requests, wine, wine_start, windows_path, write_plan)

# A setup program that ran would log here and fail with 2: no headless
# Check run may start it.
PLAN = os.path.join(HARNESS, 'check-plan.txt')


class CheckModeTest(unittest.TestCase):
    def setUp(self):
        site_clear()
        clear_download_dirs()
        write_plan(PLAN, '2')

    def tearDown(self):
        self.assertFalse(os.path.exists(PLAN + '.log'), 'no setup program was run')

    def run_bootstrapper(self, bootstrapper='bootstrapper-unsigned.exe', args=('--check',),
                         env=None):
        """Runs a bootstrapper fixture and checks what every headless run
        must leave behind: no setup program, and once the release was known,
        its download directory."""
        result = wine([os.path.join(FIXTURES, bootstrapper)] + list(args), timeout=120,
                      env=dict(env or {}, TARVIK_TEST_SETUP_PLAN=windows_path(PLAN)))
        dirs = download_dirs()
        self.assertEqual(len(dirs), 0 if result.returncode == 2 else 1)
        for path in dirs:
            self.assertEqual(os.listdir(path), [], 'no setup program remains')
            shutil.rmtree(path)
        return result.returncode

    def test_good_release_passes_and_its_file_is_deleted(self):
        publish_release(fixture('setup-unsigned.exe'))
        self.assertEqual(self.run_bootstrapper(), 0)
        self.assertEqual(len(site_requests('/downloads/Tarvik-Setup.exe')), 1)

    def test_release_information_failures_exit_2_without_a_download(self):
        setup = fixture('setup-unsigned.exe')
        good = publish_release(setup)
        cases = {
            'missing': None,
            'too long': manifest(**good) + b' ' * 4096,
            'invalid digest': manifest(**dict(good, sha256=good['sha256'].upper())),
            'foreign host': manifest(**dict(good, url='https://elsewhere.example/downloads/x.exe')),
            'encoded dots': manifest(**dict(good, url=good['url'].replace(
                'downloads/', 'downloads/%2e%2e/downloads/'))),
        }
        for name, body in cases.items():
            with self.subTest(name):
                if body is None:
                    os.remove(os.path.join(HARNESS, 'site', 'www', 'windows-setup.json'))
                else:
                    site_put('/windows-setup.json', body)
                self.assertEqual(self.run_bootstrapper(), 2)
        self.assertEqual(site_requests('/downloads/Tarvik-Setup.exe'), [])

    def test_a_system_dll_that_cannot_load_fails_its_own_step(self):
        # Wine's own TLS code needs bcrypt and CRYPT32: without either, Wine
        # aborts inside the manifest transfer, so only these two are tried.
        publish_release(fixture('setup-unsigned.exe'))
        for dll, code in {'winhttp': 2, 'wintrust': 5}.items():
            with self.subTest(dll):
                self.assertEqual(self.run_bootstrapper(env=dll_overrides(dll)), code)

    def test_download_failures_exit_3(self):
        setup = fixture('setup-unsigned.exe')
        faults = {
            'not found': dict(status=404),
            'cut short': dict(body='cut', cut_at=len(setup) // 2),
        }
        for name, fault in faults.items():
            with self.subTest(name):
                publish_release(setup)
                site_fault('/downloads/Tarvik-Setup.exe', **fault)
                self.assertEqual(self.run_bootstrapper(), 3)
        with self.subTest('shorter than the manifest says'):
            site_clear()
            publish_release(setup, size=len(setup) + 1)
            self.assertEqual(self.run_bootstrapper(), 3)
        with self.subTest('longer than the manifest says'):
            site_clear()
            publish_release(setup + b'\0', size=len(setup),
                            sha256=hashlib.sha256(setup).hexdigest())
            self.assertEqual(self.run_bootstrapper(), 3)

    def test_largest_release_passes_and_one_byte_more_is_refused(self):
        setup = fixture('setup-unsigned.exe')
        setup += b'\0' * (314572800 - len(setup))   # data after the image
        publish_release(setup)
        self.assertEqual(self.run_bootstrapper(), 0)
        publish_release(setup, size=314572801)
        self.assertEqual(self.run_bootstrapper(), 2)
        site_clear()

    def test_digest_differing_in_one_character_exits_4(self):
        setup = fixture('setup-unsigned.exe')
        digest = hashlib.sha256(setup).hexdigest()
        wrong = digest[:40] + ('0' if digest[40] != '0' else '1') + digest[41:]
        publish_release(setup, sha256=wrong)
        self.assertEqual(self.run_bootstrapper(), 4)

    def test_publisher_rule(self):
        cases = [
            ('bootstrapper-braskworks.exe', 'setup-unsigned.exe', 5),
            ('bootstrapper-braskworks.exe', 'setup-other.exe', 5),
            ('bootstrapper-braskworks.exe', 'setup-altered.exe', 5),
            ('bootstrapper-braskworks.exe', 'setup-braskworks.exe', 0),
            ('bootstrapper-braskworks.exe', 'setup-renewed.exe', 0),
            # Signers that the manifest tool judges alike (its crafted table).
            ('bootstrapper-braskworks.exe', 'setup-nul.exe', 5),
            ('bootstrapper-braskworks.exe', 'setup-multi.exe', 5),
            ('bootstrapper-braskworks.exe', 'setup-bad-value.exe', 5),
            ('bootstrapper-braskworks.exe', 'setup-orgonly.exe', 0),
            ('bootstrapper-unsigned.exe', 'setup-unsigned.exe', 0),
            ('bootstrapper-unsigned.exe', 'setup-other.exe', 0),
            # Its own signature does not verify, so no comparison is made.
            ('bootstrapper-altered.exe', 'setup-unsigned.exe', 0),
        ]
        for bootstrapper, setup, expected in cases:
            with self.subTest(bootstrapper=bootstrapper, setup=setup):
                publish_release(fixture(setup))
                self.assertEqual(self.run_bootstrapper(bootstrapper), expected)

    def test_signed_bootstrapper_in_a_folder_too_deep_for_its_path_refuses(self):
        # The own path does not fit in 260 units, so the program cannot read
        # its own signature; it refuses rather than skip the comparison.
        publish_release(fixture('setup-braskworks.exe'))
        deep = os.path.join(HARNESS, 'deep', *(['d' * 60] * 4))
        os.makedirs(deep, exist_ok=True)
        shutil.copy(os.path.join(FIXTURES, 'bootstrapper-braskworks.exe'), deep)
        self.assertEqual(self.run_bootstrapper(os.path.join(deep, 'bootstrapper-braskworks.exe')), 5)

    def test_switches_are_case_sensitive_substrings(self):
        publish_release(fixture('setup-unsigned.exe'))
        self.assertEqual(self.run_bootstrapper(args=['--checkout']), 0)
        self.assertEqual(self.run_bootstrapper(args=['--silent', '--check']), 0)
        self.assertEqual(self.run_bootstrapper(args=['--check', '--silent']), 0)
        self.assertEqual(len(site_requests('/downloads/Tarvik-Setup.exe')), 3)

    def test_upper_case_switch_is_not_check_mode(self):
        # Without the manifest a Check run ends at once with 2; the Dialog
        # mode stays with its failure dialog open.
        process = wine_start([os.path.join(FIXTURES, 'bootstrapper-unsigned.exe'), '--CHECK'])
        try:
            with self.assertRaises(subprocess.TimeoutExpired):
                process.wait(timeout=8)
        finally:
            process.kill()
            process.wait()


if __name__ == '__main__':
    unittest.main()
