#!/usr/bin/python3
"""Builds of the program outside the main build tree: a signed build made
with the signing cache variables, and an unsigned build in another folder
that must be byte-identical to the main build's (no timestamp, no paths)."""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'harness'))
from harness_lib import CONFIG, HARNESS, PKI, fixture, publish_release, site_clear, wine  # noqa: E402

TOOLCHAIN = os.path.join(CONFIG['source_dir'], 'cmake', 'mingw-w64-x86_64.cmake')


def build(folder, *options):
    """Configures and builds the program alone in `folder`; returns its exe."""
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(['cmake', '-S', CONFIG['source_dir'], '-B', folder, '-G', 'Ninja',
                    '-DCMAKE_TOOLCHAIN_FILE=' + TOOLCHAIN, '-DTARVIK_BUILD_TESTS=OFF'] + list(options),
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', folder], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, 'TarvikInstaller.exe')


class BuildTest(unittest.TestCase):
    def test_two_builds_in_different_folders_are_identical(self):
        other = build(os.path.join(HARNESS, 'builds', 'elsewhere', 'again'))
        with open(other, 'rb') as a, open(CONFIG['product'], 'rb') as b:
            self.assertTrue(a.read() == b.read(), 'the unsigned executables differ')

    def test_signed_build_verifies_and_checks_its_publisher(self):
        exe = build(os.path.join(HARNESS, 'builds', 'signed'),
                    '-DTARVIK_SITE_HOST=' + CONFIG['site_host'],
                    '-DTARVIK_SUPPORT_EMAIL=' + CONFIG['support_email'],
                    '-DTARVIK_SIGN_CERT=' + os.path.join(PKI, 'sign-braskworks-chain.pem'),
                    '-DTARVIK_SIGN_KEY=' + os.path.join(PKI, 'sign-braskworks.key'))
        verify = subprocess.run(['osslsigncode', 'verify', '-CAfile', os.path.join(PKI, 'ca.pem'),
                                 '-in', exe], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(verify.returncode, 0, verify.stdout.decode(errors='replace'))
        site_clear()
        publish_release(fixture('setup-other.exe'))
        self.assertEqual(wine([exe, '--check']).returncode, 5)
        publish_release(fixture('setup-braskworks.exe'))
        self.assertEqual(wine([exe, '--check']).returncode, 0)


if __name__ == '__main__':
    unittest.main()
