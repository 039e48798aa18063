#!/usr/bin/python3
"""The publisher's manifest tool, built for the local test site: what it
refuses (with the rule named, exit 1 and no file written), its signer and
timestamp report, and a manifest that it writes accepted by the real signed
bootstrapper under Wine."""

import email.utils
import fcntl
import functools
import glob
import hashlib
import http.server
import json
import os
import pty
import re
import shlex
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'harness'))
from harness_lib import (CONFIG, FIXTURES, HARNESS, PKI, SITE, SITE_ROOT, fixture,  # noqa: E402
                         manifest, publish_release, site_clear, site_fault, site_ipv6_edge,
                         site_put, site_requests, wait_for, wine, wine_temp_dir)
from harness import STAMP_TIME, sign  # noqa: E402

TOOL = CONFIG['manifest_tool']
PREFIX = SITE + '/downloads/'
MANIFEST = '/windows-setup.json'
URL = PREFIX + 'Tarvik-Setup-1.4.2.exe'
DIGEST = '0123456789abcdef' * 4
LAX = '--allow-no-timestamp'
STAMP_SHOWN = 'Jan  1 00:00:00 2026 GMT'


def setUpModule():
    """The test setup program signed by each test publisher with a timestamp
    by the test PKI's time-stamping authority at STAMP_SHOWN, as fixtures
    stamped-NAME.exe. They also stand for signed bootstrappers: the tool
    compares signatures only."""
    for signer in 'braskworks', 'other':
        sign(os.path.join(FIXTURES, 'setup-unsigned.exe'),
             os.path.join(FIXTURES, 'stamped-%s.exe' % signer), 'sign-' + signer, STAMP_TIME)


class ToolTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='manifest-tool-', dir=HARNESS)
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), 'wb') as file:
            file.write(data)
        return self.path(name)

    def tool(self, *args, env=None):
        return subprocess.run([TOOL] + list(args), cwd=self.dir, env=env, timeout=120,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              errors='replace')

    def make(self, setup, version='1.4.2', url=URL, *options, env=None, lax=True):
        return self.tool('make', setup, version, url, '-o', self.path('out.json'), *options,
                         *([LAX] if lax else []), env=env)

    def assertRefused(self, result, *fragments):
        """Exit 1 and a single line on stderr that begins with "refused: " and
        holds every fragment."""
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith('refused: '), lines[0])
        for fragment in fragments:
            self.assertIn(fragment, lines[0])

    def assertNothingWritten(self):
        self.assertEqual([name for name in os.listdir(self.dir) if name.startswith('out.json')],
                         [])


class MakeTest(ToolTestCase):
    def test_refusals_name_the_rule_and_write_nothing(self):
        setup = os.path.join(FIXTURES, 'setup-braskworks.exe')
        cases = {
            'version with other characters': ('1.4-beta', URL, 'digits and dots', '"1.4-beta"'),
            'version of 32 characters': ('1.' * 15 + '12', URL, 'no usable "version"',
                                         '1 to 31', '32 bytes'),
            'version with a quote': ('1"', URL, 'no usable "version"'),
            'empty version': ('', URL, 'no usable "version"'),
            'url on another host': ('1.4.2', 'https://elsewhere.example/downloads/a.exe',
                                    'must begin with ' + PREFIX, 'elsewhere.example'),
            'url in another letter case': ('1.4.2', URL.upper(), 'must begin with ' + PREFIX),
            'url with ..': ('1.4.2', PREFIX + '../a.exe', 'may not contain ".."'),
            'url with %2E%2E': ('1.4.2', PREFIX + '%2E%2E/a.exe', 'encoded dot'),
            'url with a space': ('1.4.2', PREFIX + 'a b.exe', 'a space at offset %d'
                                 % len(PREFIX + 'a')),
            'url with <': ('1.4.2', PREFIX + 'a<b.exe', "'<' at offset"),
            'url of 512 bytes': ('1.4.2', PREFIX + 'a' * (512 - len(PREFIX)),
                                 'no usable "url"', '1 to 511 bytes', '512 bytes'),
            # Each release needs a URL of its own: its version as a token
            # of the file name.
            'url without the version': ('1.4.2', PREFIX + '1.4.2/Tarvik-Setup.exe',
                                        'must hold the version "1.4.2"'),
            'version inside a longer number': ('2', PREFIX + 'Tarvik-Setup-12.exe', 'whole token'),
            'version inside a longer version': ('1.4', URL, 'whole token'),
        }
        for name, (version, url, *fragments) in cases.items():
            with self.subTest(name):
                result = self.make(setup, version, url)
                self.assertRefused(result, *fragments)
                self.assertNothingWritten()

    def test_setup_programs_the_bootstrapper_cannot_take(self):
        with self.subTest('0 bytes'):
            self.assertRefused(self.make(self.write('empty.exe', b'')), 'is empty (0 bytes)')
        with self.subTest('missing'):
            self.assertRefused(self.make(self.path('missing.exe')), 'cannot read')
        with self.subTest('a folder'):
            self.assertRefused(self.make(self.dir), 'not a regular file')
        with self.subTest('a libcrypto that cannot hash'):
            # Only OpenSSL's null provider: every digest fails to start.
            config = self.write('null.cnf', b'openssl_conf = init\n[init]\nproviders = p\n'
                                b'[p]\nnull = n\n[n]\nactivate = 1\n')
            env = dict(os.environ, OPENSSL_CONF=config)
            self.assertRefused(self.make(os.path.join(FIXTURES, 'setup-braskworks.exe'), env=env),
                               'cannot compute the SHA-256')
            # Not "altered" or "does not verify": nothing is known of it.
            result = self.tool('signature', os.path.join(FIXTURES, 'setup-stamped.exe'), env=env)
            self.assertRefused(result, 'cannot be checked', 'digest cannot be computed')
        self.assertNothingWritten()

    def test_longest_values_pass_and_the_file_says_what_was_read(self):
        setup = os.path.join(FIXTURES, 'setup-braskworks.exe')
        version = '1.' * 15 + '1'
        url = PREFIX + 'a' * (511 - len(PREFIX))
        result = self.make(setup, version, url, '--allow-unversioned-url')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('signer: Braskworks (expected Braskworks)', result.stdout)
        with open(self.path('out.json'), 'rb') as file:
            text = file.read()
        self.assertTrue(text.endswith(b'\n'))
        data = fixture('setup-braskworks.exe')
        self.assertEqual(json.loads(text), dict(version=version, url=url, size=len(data),
                                                sha256=hashlib.sha256(data).hexdigest()))
        # The manifest passes its own check, with the file it describes.
        check = self.tool('check', self.path('out.json'), setup)
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn('ok: url ' + url, check.stdout)

    def test_default_output_replaces_an_older_manifest(self):
        self.write('windows-setup.json', b'old')
        result = self.tool('make', os.path.join(FIXTURES, 'setup-renewed.exe'), '2.0',
                           PREFIX + 'Tarvik-Setup-2.0.exe', LAX)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.path('windows-setup.json')) as file:
            self.assertEqual(json.load(file)['version'], '2.0')
        self.assertEqual(sorted(os.listdir(self.dir)), ['windows-setup.json'])


class CheckTest(ToolTestCase):
    def check(self, body, *setup):
        return self.tool('check', self.write('windows-setup.json', body), *setup)

    def test_refusals_of_hand_written_manifests(self):
        good = manifest(url=URL, sha256=DIGEST, size=1000)
        cases = {
            'upper-case digest': (manifest(sha256=DIGEST.upper()), 'lowercase a-f'),
            '63 digits': (manifest(sha256=DIGEST[:63]), 'exactly 64', 'got 63'),
            '65 digits': (manifest(sha256=DIGEST + '0'), 'no usable "sha256"'),
            'size 0': (manifest(size=0), 'from 1 to 314572800', '"0"'),
            'size 314572801': (manifest(size=314572801), 'from 1 to 314572800', '"314572801"'),
            'negative size': (manifest(size=-1), 'no usable "size"'),
            'key in other case': (good.replace(b'"version"', b'"Version"'),
                                  'no usable "version"'),
            'value with a backslash': (manifest(version='1\\4'), 'no usable "version"'),
            'url with #': (manifest(url=URL + '#x'), "'#' at offset"),
            '4,096 bytes': (good.ljust(4096), '4096 bytes', 'at most 4095'),
            'NUL inside': (good[:-1] + b', "note": "\0"}', 'NUL byte at offset %d'
                           % (len(good) + 10)),
        }
        for name, (body, *fragments) in cases.items():
            with self.subTest(name):
                self.assertRefused(self.check(body), *fragments)
        for name, body in {'compact': good, '4,095 bytes': good.ljust(4095)}.items():
            with self.subTest(name):
                result = self.check(body)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn('ok: sha256 ' + DIGEST, result.stdout)
                self.assertIn('ok: size 1000', result.stdout)

    def test_file_that_differs_from_the_manifest(self):
        data = fixture('setup-braskworks.exe')
        body = manifest(url=URL, sha256=hashlib.sha256(data).hexdigest(), size=len(data))
        with self.subTest('size'):
            longer = self.write('longer.exe', data + b'\0')
            self.assertRefused(self.check(body, longer),
                               'is %d bytes, the manifest says %d' % (len(data) + 1, len(data)))
        with self.subTest('digest'):
            # Same size, one byte changed after signing.
            altered = os.path.join(FIXTURES, 'setup-altered.exe')
            self.assertRefused(self.check(body, altered),
                               'SHA-256 of %s is %s' % (altered, hashlib.sha256(
                                   fixture('setup-altered.exe')).hexdigest()))
        with self.subTest('same file'):
            result = self.check(body, os.path.join(FIXTURES, 'setup-braskworks.exe'))
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn('signer: Braskworks (expected Braskworks)', result.stdout)


class SignerTest(ToolTestCase):
    def test_signer_report(self):
        cases = [
            ('setup-braskworks.exe', (LAX,), 0, 'signer: Braskworks (expected Braskworks)'),
            ('setup-renewed.exe', (LAX,), 0, 'signer: Braskworks (expected Braskworks)'),
            ('setup-other.exe', (), 1, 'signer: Other Publisher Ltd (expected Braskworks)'),
            # Refused for its missing signer, which no flag lifts.
            ('setup-unsigned.exe', (LAX,), 1, 'signer: none (unsigned) (expected Braskworks)'),
            # Changed after signing: Windows would not trust it.
            ('setup-altered.exe', (), 1,
             'signer: signature does not match the file (expected Braskworks)'),
            ('setup-other.exe', ('--publisher', 'Other Publisher Ltd', LAX), 0,
             'signer: Other Publisher Ltd (expected Other Publisher Ltd)'),
            ('setup-braskworks.exe', ('--publisher', 'Braskworks Ltd'), 1,
             'signer: Braskworks (expected Braskworks Ltd)'),
            ('setup-braskworks.exe', (), 1, 'timestamp: none', 'no timestamp'),
            ('stamped-braskworks.exe', (), 0, 'timestamp: ' + STAMP_SHOWN),
        ]
        for setup, options, code, line, *fragments in cases:
            with self.subTest(setup=setup, options=options):
                result = self.make(os.path.join(FIXTURES, setup), '1.4.2', URL, *options,
                                   lax=False)
                self.assertIn(line, result.stdout.splitlines())
                if code == 0:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    os.remove(self.path('out.json'))
                else:
                    self.assertRefused(result, 'refuses it', *fragments)
                    self.assertNothingWritten()
        with self.subTest('check reports the signer too'):
            data = fixture('setup-other.exe')
            body = manifest(url=URL, sha256=hashlib.sha256(data).hexdigest(), size=len(data))
            result = self.tool('check', self.write('m.json', body),
                               os.path.join(FIXTURES, 'setup-other.exe'))
            self.assertRefused(result, '"Other Publisher Ltd", not "Braskworks"')

    def test_check_with_the_bootstrapper(self):
        cases = {  # setup program, bootstrapper, report line, refusal fragments
            'different publishers': ('stamped-braskworks.exe', 'stamped-other.exe',
                                     'bootstrapper signer: Other Publisher Ltd (expected '
                                     'Braskworks)', '"Other Publisher Ltd", not "Braskworks"'),
            'untimestamped bootstrapper': ('stamped-braskworks.exe', 'bootstrapper-braskworks.exe',
                                           'bootstrapper timestamp: none', 'no timestamp'),
            'untimestamped setup program': ('setup-braskworks.exe', 'stamped-braskworks.exe',
                                            'timestamp: none', 'no timestamp'),
            'good pair': ('stamped-braskworks.exe', 'stamped-braskworks.exe',
                          'bootstrapper timestamp: ' + STAMP_SHOWN),
        }
        for name, (setup, bootstrapper, line, *fragments) in cases.items():
            with self.subTest(name):
                data = fixture(setup)
                body = manifest(url=URL, sha256=hashlib.sha256(data).hexdigest(), size=len(data))
                result = self.tool('check', self.write('m.json', body), os.path.join(
                    FIXTURES, setup), '--bootstrapper', os.path.join(FIXTURES, bootstrapper))
                self.assertIn(line, result.stdout.splitlines())
                if fragments:
                    self.assertRefused(result, *fragments)
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)

    def test_no_helper_program_is_needed(self):
        result = self.make(os.path.join(FIXTURES, 'stamped-braskworks.exe'), lax=False,
                           env=dict(os.environ, PATH=self.dir))
        self.assertEqual(result.returncode, 0, result.stderr)


class CraftedSignatureTest(ToolTestCase):
    """Setup programs signed as an attacker or a slip would sign them
    (harness.CRAFTED), judged alike by make, by check --bootstrapper and by
    the build's check (signature --timestamped)."""

    def judge(self, setup, *options):
        path = os.path.join(FIXTURES, setup)
        data = fixture(setup)
        body = manifest(url=URL, sha256=hashlib.sha256(data).hexdigest(), size=len(data))
        yield 'make', self.make(path, '1.4.2', URL, *options, lax=False)
        yield 'check', self.tool('check', self.write('m.json', body), path, '--bootstrapper',
                                 os.path.join(FIXTURES, 'stamped-braskworks.exe'), *options)
        yield 'signature', self.tool('signature', path, '--timestamped', *options)

    def test_each_signature_is_judged_from_its_structure(self):
        """No input ends a command by a signal: each exits 0 or 1."""
        unreadable = 'signer: unreadable signature'
        refused = 'signer: algorithm refused'
        no_stamp = 'timestamp refused: '
        untrusted = 'signer: Braskworks, whose certificates Windows refuses'
        stamped_at = 'before the signing time %s (the timestamp\'s)' % STAMP_SHOWN
        to_the_root = "ends at the root 'Tarvik Test Root CA', which Windows must trust"
        # A setup program, then the test PKI's PEM file of roots for --roots.
        cases = {  # setup program [roots]: exit code, report line fragment, refusal fragment
            'setup-multi.exe': (1, 'signer: no usable name (', 'more than one of its common names'),
            'setup-decoy.exe': (1, 'signer: ambiguous signer certificate', '2 certificates match'),
            'setup-forged-stamp.exe': (1, 'timestamp: none', 'has no timestamp'),
            'setup-bad-value.exe': (1, 'signer: signature does not verify', 'value does not verify'),
            'setup-altered.exe': (1, 'signer: signature does not match the file',
                                  'changed after it was signed'),
            'setup-u2028.exe': (1, 'signer: Evil (', 'signed by "Evil"'),
            'setup-nbsp.exe': (1, 'signer: "Braskworks\\xc2\\xa0" (',
                               'signed by "Braskworks\\xc2\\xa0"'),
            'setup-nul.exe': (1, 'signer: no usable name', 'holds a NUL at offset 10'),
            'setup-truncated.exe': (1, unreadable, 'not a complete PE image'),
            'setup-past-end.exe': (1, unreadable, 'does not end the file'),
            'setup-not-der.exe': (1, unreadable, 'not a DER PKCS#7'),
            # Anyone can make these: no key is needed for what the primary
            # signature does not cover.
            'setup-no-content.exe': (1, unreadable, 'a PKCS#7 without signed content'),
            'setup-stamp-no-content.exe': (1, no_stamp + 'the timestamp is a PKCS#7 without',
                                           'timestamp of'),
            # Windows compares the stored bytes; OpenSSL re-encodes first.
            'setup-issuer-case.exe': (1, 'signer: signature does not verify',
                                      'no certificate matches'),
            'setup-issuer-printable.exe': (1, 'signer: signature does not verify',
                                           'no certificate matches'),
            'setup-digest-long.exe': (1, unreadable, 'not DER as they stand'),
            'setup-attributes-long.exe': (1, unreadable, 'not DER as they stand'),
            'setup-stamp-issuer-case.exe': (1, no_stamp, 'no certificate matches'),
            'setup-stamp-issuer-printable.exe': (1, no_stamp, 'no certificate matches'),
            'setup-stamp-digest-long.exe': (1, no_stamp, 'not DER as they stand'),
            'setup-stamp-attributes-long.exe': (1, no_stamp, 'not DER as they stand'),
            'setup-subject-key.exe': (1, unreadable, 'subject key identifier'),
            # Algorithms and structures that Windows refuses or that
            # Authenticode forbids.
            'setup-sha224.exe': (1, refused, 'digest is SHA224; only SHA-256'),
            'setup-md5.exe': (1, refused, 'digest is MD5'),
            'setup-sha3.exe': (1, refused, 'digest is SHA3-256'),
            'setup-sha1.exe': (1, refused, 'SHA-1, which is not fit to publish'),
            'setup-sha1-inside.exe': (1, refused, 'image digest is SHA-1'),
            'setup-sha1-outside.exe': (1, refused, "signer's digest is SHA-1"),
            'setup-rsa512.exe': (1, refused, 'RSA key has 512 bits'),
            'setup-serverauth.exe': (1, 'signer: signature does not verify', 'not for code signing'),
            # Not "does not verify": this reader cannot tell.
            'setup-countersigned.exe': (1, no_stamp + 'the timestamp is an old-style',
                                        'timestamp of', 'cannot be judged here',
                                        'Windows would check'),
            'setup-unknown-encryption.exe': (1, refused, '1.3.6.1.4.1.99999.1 does not fit'),
            'setup-no-content-type.exe': (1, unreadable, 'do not name the content type'),
            'setup-data-content-type.exe': (1, unreadable, 'do not name the content type'),
            'setup-two-signers.exe': (1, unreadable, '2 SignerInfos'),
            'setup-two-entries.exe': (1, unreadable, 'is not one entry'),
            'setup-padding.exe': (1, unreadable, 'bytes after the signature'),
            'setup-revision.exe': (1, unreadable, 'not a revision 2.0'),
            'setup-unaligned.exe': (1, unreadable, 'not start on an 8-byte boundary'),
            'setup-stamp-no-eku.exe': (1, no_stamp + "the timestamp's certificate is not for "
                                       'time-stamping', 'timestamp of'),
            'setup-self-stamp.exe': (1, no_stamp + "the timestamp's certificate is not for "
                                     'time-stamping', 'timestamp of'),
            # Names as Windows forms them, and as the bootstrapper can hold them.
            'setup-long-name.exe': (1, 'signer: no usable name (', '255 UTF-16 units'),
            'setup-t61-nbsp.exe': (1, 'signer: "Braskworks\\xc2\\xa0" (',
                                   'signed by "Braskworks\\xc2\\xa0"'),
            # Sound signatures.
            'setup-orgonly.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-ouonly.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-locality.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-san-email.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-mismatch.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-bmp.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-universal.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-t61.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-printable.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-ia5.exe': (0, 'signer: Braskworks (expected Braskworks)'),
            'setup-index.exe': (0, 'timestamp: ' + STAMP_SHOWN),
            'setup-stamped.exe': (0, 'timestamp: ' + STAMP_SHOWN, to_the_root,
                                  "timestamp path: 'Tarvik Test TSA', 'Tarvik Test Root CA'; " +
                                  to_the_root),
            'setup-pe32.exe': (0, 'timestamp: ' + STAMP_SHOWN),
            'setup-checksum.exe': (0, 'timestamp: ' + STAMP_SHOWN),
            'setup-sha384.exe': (0, 'timestamp: ' + STAMP_SHOWN),
            'setup-ecdsa.exe': (0, 'timestamp: ' + STAMP_SHOWN),
            'setup-nested.exe': (0, 'nested signatures: 1, not judged'),
            # Certificates judged at the signing time: the timestamp's, or
            # now without one (a signing-time attribute does not count) or
            # for lifetime signing.
            'setup-expired.exe': (1, untrusted, "the signer's certificate 'Braskworks' expired on "
                                  'Jan  1 00:00:00 2021 GMT, ' + stamped_at,
                                  'valid from Jan  1 00:00:00 2020 GMT to Jan  1 00:00:00 2021'),
            'setup-not-yet.exe': (1, untrusted, "'Braskworks' was not yet valid at the signing "
                                  'time %s' % STAMP_SHOWN, 'valid from Jun  1 00:00:00 2026 GMT'),
            'setup-expired-since.exe': (0, "signer path: 'Braskworks', 'Tarvik Test Root CA' at "
                                        'the signing time %s' % STAMP_SHOWN),
            'setup-expired-unstamped.exe': (1, untrusted, 'expired on Jun  1 00:00:00 2026 GMT',
                                            '(the current time: there is no timestamp'),
            'setup-expired-signing-time.exe': (1, untrusted, 'expired on Jun  1 00:00:00 2026 GMT',
                                               '(the current time: there is no timestamp'),
            'setup-lifetime.exe': (1, untrusted, 'expired on Jun  1 00:00:00 2026 GMT',
                                   'is for lifetime signing'),
            'setup-expired-ca.exe': (1, untrusted, "the certificate 'Braskworks Expired CA' in the "
                                     "signer's path expired on Jun  1 00:00:00 2025 GMT, " +
                                     stamped_at),
            'setup-serverauth-ca.exe': (1, untrusted, "the certificate 'Braskworks Server CA' in "
                                        "the signer's path has an extended key usage without "
                                        'codeSigning'),
            'setup-tsa-expired.exe': (1, no_stamp + "the time-stamping certificate 'Tarvik Expired "
                                      "TSA' expired on Jan  1 00:00:00 2021 GMT, before the "
                                      "timestamp's time " + STAMP_SHOWN, 'timestamp of'),
            # Windows does not refuse a path for an expired root.
            'setup-old-root.exe': (0, "ends at the root 'Braskworks Old Root', which Windows must "
                                   'trust'),
            # Where each path ends, and with --roots which roots it may end at.
            'setup-issued.exe': (0, "signer path: 'Braskworks', 'Braskworks Issuing CA', 'Tarvik "
                                 "Test Root CA' at the signing time " + STAMP_SHOWN, to_the_root),
            'setup-issued-alone.exe': (0, "signer path: 'Braskworks' at", "ends at 'Braskworks', "
                                       "issued by 'Braskworks Issuing CA', which Windows must "
                                       'trust'),
            'setup-issued.exe ca.pem': (0, "ends at 'Tarvik Test Root CA', one of the given roots"),
            'setup-renewed-stamped.exe ca.pem': (1, untrusted, "the signer's path ends at the root "
                                                 "'Tarvik Test Root CA 2', which is none of the "
                                                 'given roots'),
            'setup-issued-alone.exe ca.pem': (1, untrusted, "is issued by 'Braskworks Issuing CA', "
                                              'which the signature does not carry', 'AIA address'),
            'setup-fake-issuer.exe ca.pem': (1, untrusted, "is issued by 'Braskworks Issuing CA', "
                                             'which the signature carries only with another key'),
        }
        for key, (code, line, *fragments) in cases.items():
            setup, *roots = key.split()
            options = ['--roots', os.path.join(PKI, roots[0])] if roots else []
            for command, result in self.judge(setup, *options):
                with self.subTest(key, command=command):
                    self.assertIn(line, result.stdout)
                    if code:
                        self.assertRefused(result, *fragments)
                    else:
                        self.assertEqual(result.returncode, 0, result.stderr)
                        for fragment in fragments:
                            self.assertIn(fragment, result.stdout)
            if os.path.exists(self.path('out.json')):
                os.remove(self.path('out.json'))


class LiveTest(ToolTestCase):
    """`live` against the test site, which plays a CDN with two edges,
    127.0.0.1 and 127.0.0.2 on one port."""
    PATH = URL[len(SITE):]

    def publish(self, setup='stamped-braskworks.exe'):
        """Publishes `setup` alone; returns its bytes and the manifest's."""
        site_clear()
        data = fixture(setup)
        return data, manifest(**publish_release(data, name=os.path.basename(URL)))

    def other_port(self):
        """A second HTTPS server of the site host, on 127.0.0.2 only and
        another port, serving the site's files; returns its port."""
        class Handler(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass
        server = http.server.ThreadingHTTPServer(('127.0.0.2', 0), functools.partial(
            Handler, directory=SITE_ROOT))
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(PKI, 'server-chain.pem'),
                                os.path.join(PKI, 'server.key'))
        server.socket = context.wrap_socket(server.socket, server_side=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return server.server_address[1]

    def test_live_release_as_the_bootstrapper_would_fetch_it(self):
        data, body = self.publish()
        changed = data[:-1] + bytes([data[-1] ^ 1])
        ca = os.path.join(PKI, 'ca.pem')
        both = ('--cacert', ca, '--address', '127.0.0.1', '--address', '127.0.0.2')
        second = ('--cacert', ca, '--address', '127.0.0.2')
        port = self.other_port()
        mirror = '/mirror/' + os.path.basename(URL)
        # Long enough to end a 4 KiB line of a report and start another.
        long_header = {'X-Cache': 'A' * 4073 + 'passed: true'}
        cases = {  # name: change to the good release, arguments (or both), exit code, fragments
            'good release on both edges': (lambda: None, (), 0,
                                           'ok: the live release passes on 2 addresses'),
            'republished with other bytes': (lambda: site_put(self.PATH, changed), (), 1,
                                             '127.0.0.2: the setup program: sha256 ' +
                                             hashlib.sha256(changed).hexdigest(), URL),
            'manifest of the unsigned file': (lambda: self.publish('setup-unsigned.exe'), (), 1,
                                              'is not signed'),
            'setup program not uploaded yet': (lambda: os.remove(os.path.join(
                SITE_ROOT, self.PATH.lstrip('/'))), (), 1, 'status 404 (only 200 counts)'),
            'redirect to plain HTTP': (lambda: site_fault(self.PATH, status=302,
                                                          location='http://localhost/x.exe'),
                                       (), 1, 'a redirect to a location that is not HTTPS'),
            'Content-Length not the size': (lambda: site_fault(self.PATH, content_length=1000), (),
                                            1, 'Content-Length 1000 is not the manifest\'s size',
                                            'before the body'),
            'manifest of 4,096 bytes': (lambda: site_put('/windows-setup.json', body.ljust(4096)),
                                        (), 1, 'the manifest: more than 4095 bytes'),
            'edges out of step': (lambda: site_put('/windows-setup.json.at-127.0.0.2', body + b' '),
                                  (), 1, '127.0.0.1 and 127.0.0.2 serve different manifests'),
            'an address that cannot be reached': (lambda: None, ('--cacert', ca, '--address',
                                                                 '127.0.0.3'), 1,
                                                  '127.0.0.3: the manifest: unreachable'),
            'a host name that does not resolve': (lambda: None, ('--cacert', ca, '--address',
                                                                 'tarvik.invalid'), 1,
                                                  'cannot resolve tarvik.invalid'),
            'an IPv6 edge': (lambda: None, ('--cacert', ca, '--address', '::1'), 0,
                             'address ::1', 'ok: the live release passes on 1 address'),
            'a server certificate of no trusted root': (lambda: None, ('--address', '127.0.0.1'),
                                                        1, 'certificate'),
            'a web page instead of the manifest': (lambda: site_put(
                '/windows-setup.json', b'<html>Maintenance</html>'), (), 1, 'no usable "version"',
                '127.0.0.1: the manifest fails the bootstrapper\'s rules'),
            'a server that stalls': (lambda: site_fault('/windows-setup.json', body='slow',
                                                        chunk_size=10, delay_ms=40000),
                                     ('--cacert', ca, '--address', '127.0.0.1'), 1,
                                     '127.0.0.1: the manifest: stalled'),
            'report for monitoring': (lambda: None, both + ('--json',), 0, '"passed": true',
                                      '"signer": "Braskworks"', '"\'Tarvik Test TSA\'"'),
            'manifest cached for a day': (lambda: site_fault('/windows-setup.json', headers={
                'Cache-Control': 'max-age=86400'}), (), 0, 'cache-control: max-age=86400',
                'warning: caches may keep this manifest for 86400 s'),
            # What a site sends is shown escaped, and never writes the verdict.
            'a header that is not UTF-8': (lambda: site_fault(self.PATH, headers={
                'ETag': '"\xe9"'}), (), 0, 'etag: "\\xe9"'),
            'a header that is not UTF-8, in JSON': (lambda: site_fault(self.PATH, headers={
                'ETag': '"\xe9"'}), both + ('--json',), 0, '"etag": "\\"\\\\xe9\\""'),
            'a header that splits a 4 KiB line': (lambda: (
                self.publish('setup-unsigned.exe'), site_fault('/windows-setup.json',
                                                                headers=long_header)),
                both + ('--json',), 1, 'is not signed'),
            'a signer name that splits a 4 KiB line': (lambda: self.publish(
                'setup-huge-name.exe'), both + ('--json',), 1, '4097 UTF-16 units'),
            'ESC and CR in a header': (lambda: (
                self.publish('setup-unsigned.exe'), site_fault('/windows-setup.json', headers={
                    'X-Cache': '\x1b[2K\rok: the live release passes'})), (), 1,
                'x-cache: \\x1b[2K\\x0dok: the live release passes', 'is not signed'),
            # Where each file really came from.
            'a redirect to another port of the site host': (lambda: site_fault(
                self.PATH, status=302, location='https://localhost:%d%s' % (port, self.PATH)),
                second, 0, 'from https://localhost:%d%s at 127.0.0.2' % (port, self.PATH)),
            'a redirect to another address': (lambda: (
                site_put(mirror, data), site_fault(self.PATH, status=302, location=(
                    'https://127.0.0.1:%d%s' % (CONFIG['port'], mirror)))),
                second, 0, 'from https://127.0.0.1:%d%s at 127.0.0.1' % (CONFIG['port'], mirror)),
            'a 404 with a large page': (lambda: (
                site_put('/windows-setup.json', b'x' * 5000),
                site_fault('/windows-setup.json', status=404)), (), 1,
                '127.0.0.1: the manifest: status 404 (only 200 counts)'),
            # The cache lifetime, read by directive: the largest, s-maxage
            # first, no-cache cancelling nothing, else Expires against Date.
            'Cache-Control on two lines': (lambda: site_fault('/windows-setup.json', headers={
                'Cache-Control': ['max-age=86400', 'no-cache']}), both + ('--json',), 0,
                'caches may keep this manifest for 86400 s', '"cache-control": [\n'),
            'a max-age beside an x-max-age': (lambda: site_fault('/windows-setup.json', headers={
                'Cache-Control': 'x-max-age=0, max-age=86400'}), (), 0,
                'warning: caches may keep this manifest for 86400 s'),
            'only an Expires a day ahead': (lambda: site_fault('/windows-setup.json', headers={
                'Expires': email.utils.formatdate(time.time() + 86400, usegmt=True)}), (), 0,
                'warning: caches may keep this manifest for 864'),
            # Slow enough never to stall, too slow for users. The rate
            # it reports depends on how busy this machine is.
            'an edge that sends 2 bytes a second': (lambda: site_fault(
                self.PATH + '.at-127.0.0.2', body='slow', chunk_size=2, delay_ms=1000), second, 1,
                'the setup program: too slow for users: ',
                ' bytes a second over 60 s, below 1024'),
        }
        for name, (change, args, code, *fragments) in cases.items():
            with self.subTest(name):
                if '::1' in args and not site_ipv6_edge():
                    self.skipTest('this machine has no IPv6 loopback')
                self.publish()
                change()
                start = time.monotonic()
                result = self.tool('live', *(args or both))
                # Whatever an edge does, a check ends in bounded time.
                self.assertLess(time.monotonic() - start, 90)
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertTrue(all(line.startswith('refused: ')
                                    for line in result.stderr.splitlines()), result.stderr)
                # Nothing but printable ASCII reaches the terminal.
                self.assertRegex(result.stdout + result.stderr, r'^[\x20-\x7e\n]*$')
                for fragment in fragments:
                    self.assertIn(fragment, result.stdout + result.stderr)
                if '--json' in args:
                    report = json.loads(result.stdout)
                    self.assertIs(report['passed'], code == 0)
                    self.assertEqual(len(report['addresses']), 2)
                    self.assertTrue(all(isinstance(refusal, str)
                                        for refusal in report['refusals']))
        with self.subTest('killed while it fetches the setup program'):
            # The temporary copy goes with the process, however it ends.
            self.publish()
            site_fault(self.PATH, body='slow', chunk_size=1000, delay_ms=1000)
            temp = os.path.join(self.dir, 'tmp')
            os.makedirs(temp)
            live = subprocess.Popen([TOOL, 'live'] + list(second), env=dict(os.environ,
                                    TMPDIR=temp), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            self.assertTrue(wait_for(lambda: site_requests(self.PATH)))
            time.sleep(1)
            live.kill()
            live.wait()
            self.assertEqual(os.listdir(temp), [])
        site_clear()

    def test_wait_for_the_expected_release(self):
        """The site serves an older release, then the expected one after a
        few seconds; without the change the wait runs out."""
        _, old = self.publish()
        new = old.replace(b'"1.4.2"', b'"1.4.3"').replace(b'1.4.2.exe', b'1.4.3.exe')
        site_put(self.PATH.replace('1.4.2', '1.4.3'), fixture('stamped-braskworks.exe'))
        expected = self.write('expected.json', new)
        args = [TOOL, 'live', '--address', '127.0.0.1', '--cacert', os.path.join(PKI, 'ca.pem'),
                '--expect', expected, os.path.join(FIXTURES, 'stamped-braskworks.exe')]
        for changes, wait, code in ((True, 60, 0), (False, 6, 1)):
            with self.subTest(changes=changes):
                site_put('/windows-setup.json', old)
                start = time.monotonic()
                live = subprocess.Popen(args + ['--wait', str(wait)], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
                if changes:
                    time.sleep(3)
                    site_put('/windows-setup.json', new)
                out, err = live.communicate(timeout=120)
                self.assertEqual(live.returncode, code, out + err)
                self.assertIn('round 1: waiting for: 127.0.0.1: the manifest is not the expected '
                              'one', out)
                # A wait ends within its time and one more round.
                self.assertLess(time.monotonic() - start, wait + 10)
        site_clear()


class Edges:
    """Two caching edges of the site host, on 127.0.0.3 and 127.0.0.4 (which
    the Python site does not hold), in front of one origin folder: nginx
    with tests/site/edges.conf.in, set up as a host behaves. `missing` is
    what the origin answers for a file it does not have (=404, =403, or
    with `page` a page of that many bytes), `query_in_key` whether the cache
    key holds the query string, `caching` the edges' proxy_cache_valid and
    proxy_ignore_headers lines."""
    ADDRESSES = ('127.0.0.3', '127.0.0.4')

    def __init__(self, missing='=404', page=0, query_in_key=True, caching=''):
        self.dir = tempfile.mkdtemp(prefix='tarvik-edges-')
        os.chmod(self.dir, 0o755)   # as root, nginx's workers run as nobody
        self.origin = os.path.join(self.dir, 'origin')
        os.makedirs(self.origin)
        os.makedirs(os.path.join(self.dir, 'temp'))
        with open(os.path.join(self.dir, 'page.html'), 'w') as file:
            file.write(('<html><body>Tarvik</body></html>' + ' ' * page)[:page])
        with socket.socket() as probe:
            probe.bind(('127.0.0.3', 0))
            origin_port = probe.getsockname()[1]
        with open(os.path.join(CONFIG['source_dir'], 'tests', 'site', 'edges.conf.in')) as file:
            config = file.read()
        for name, value in dict(DIR=self.dir, CERTS=PKI, PORT=str(CONFIG['port']),
                                ORIGIN_PORT=str(origin_port),
                                MISSING='/page.html' if page else missing,
                                CACHE_KEY='$scheme$host$request_uri' if query_in_key
                                else '$scheme$host$uri', CACHING=caching).items():
            config = config.replace('@%s@' % name, value)
        with open(os.path.join(self.dir, 'nginx.conf'), 'w') as file:
            file.write(config)
        self.nginx = subprocess.Popen(['nginx', '-p', self.dir, '-e', os.path.join(
            self.dir, 'error.log'), '-c', os.path.join(self.dir, 'nginx.conf'), '-g',
            'daemon off;'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: self.nginx.poll() is not None or all(
                self.listening(address) for address in self.ADDRESSES)) or self.nginx.poll():
            with open(os.path.join(self.dir, 'error.log')) as file:
                raise RuntimeError('nginx did not start:\n' + file.read())
        # Drops @PATH@ from both edges' caches; an edge that does not hold
        # it answers 404, which is done as well.
        self.purge = 'sh %s @PATH@' % self.write_script('purge.sh', ''.join(
            'test "$(curl -s -o /dev/null -w %%{http_code} --cacert %s --resolve '
            'localhost:%d:%s https://localhost:%d/purge$1)" -le 404 || exit 1\n'
            % (os.path.join(PKI, 'ca.pem'), CONFIG['port'], address, CONFIG['port'])
            for address in self.ADDRESSES))

    def listening(self, address):
        try:
            socket.create_connection((address, CONFIG['port']), timeout=1).close()
            return True
        except OSError:
            return False

    def write_script(self, name, text):
        with open(os.path.join(self.dir, name), 'w') as file:
            file.write(text)
        return os.path.join(self.dir, name)

    def put(self, path, data):
        target = os.path.join(self.origin, path.lstrip('/'))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, 'wb') as file:
            file.write(data)
        return self

    def close(self):
        self.nginx.terminate()
        self.nginx.wait(timeout=30)
        shutil.rmtree(self.dir)


# Edges that keep a 404 this many seconds; that keep every file a minute,
# whatever the origin says of it.
KEEP_404 = 'proxy_cache_valid 404 %ds;'
MINIMUM_LIFETIME = 'proxy_ignore_headers Cache-Control Expires; proxy_cache_valid 200 60s;'
# The --purge of a row's own edges.
EDGE_PURGE = 'the edges\' own purge'


def run(version, mode='', code=0, uploads=(), kept=None, *fragments, before=None,
        setup='stamped-braskworks.exe', options=(), prefix='', upload=None, purge=None,
        signal_when=None, then=None, within=None, unsaid=(), terminal=False, path=None):
    """One run of publish in a row of PublishTest: after `before`, publish
    `version` of `setup` with the upload command in `mode` (modes joined by
    commas) and `prefix` before it, or with the command `upload`, with
    `purge` (EDGE_PURGE: the row's edges'), with `options`, on a terminal
    with `terminal`, with `path` first on PATH. It exits with `code` (-9:
    killed), uploads `uploads` in that order, leaves
    windows-setup.previous.json holding `kept` (None: no such file; a
    string: the manifest of that version), says every fragment and none of
    `unsaid`, ends within `within` seconds and passes `then()`. With
    `signal_when` (condition, signal), the signal goes to the tool once the
    condition holds."""
    return dict(version=version, mode=mode, code=code, uploads=list(uploads), kept=kept,
                fragments=fragments, before=before, setup=setup, options=options, prefix=prefix,
                upload=upload, purge=purge, signal_when=signal_when, then=then, within=within,
                unsaid=unsaid, terminal=terminal, path=path)


class PublishTest(ToolTestCase):
    """publish against the test site's two edges, and against real caching
    edges (Edges). The upload command writes into the origin folder and
    logs the site path of each call."""

    def setUp(self):
        super().setUp()
        # Its fourth argument holds the modes that make it misbehave: fail
        # on the setup program or on the rollback manifest; let edge
        # 127.0.0.2 lose the previous setup program or trickle the new one
        # from its upload on; kill the tool after writing the manifest,
        # every time or once; write through a child that sleeps first. It
        # writes into $ROOT when it is set, and logs $FOO.
        script = self.write('upload.sh', (
            'modes=",$4,"\n'
            'has() { case "$modes" in *,$1,*) return 0;; esac; return 1; }\n'
            'echo "$2" >> %(log)s\n'
            '[ -z "${FOO+set}" ] || echo "$FOO" > %(foo)s\n'
            'site="${ROOT:-%(site)s}"\n'
            'case "$2" in *.exe) has fail-setup && exit 1;; esac\n'
            'case "$(basename "$1")" in windows-setup.previous.*) has fail-rollback && exit 1;; esac\n'
            'if [ "$2" = %(manifest)s ]; then\n'
            '  has lose-previous && echo \'{"status": 404}\' > '
            '"$site/downloads/Tarvik-Setup-1.4.2.exe.at-127.0.0.2.fault"\n'
            'elif has trickle-setup; then\n'
            '  echo \'{"body": "slow", "chunk_size": 8, "delay_ms": 20000}\' > '
            '"$site$2.at-127.0.0.2.fault"\n'
            'fi\n'
            'mkdir -p "$(dirname "$site$2")"\n'
            'if has slow; then\n'
            '  echo $$ >> %(pids)s\n'
            '  sh -c \'echo $$ >> "$2"; sleep 4; cp "$0" "$1"\' "$1" "$site$2" %(pids)s\n'
            'else\n'
            '  cp "$1" "$site$2"\n'
            'fi\n'
            'if [ "$2" = %(manifest)s ] && { has kill-after-manifest || { has kill-once && '
            '[ ! -e %(killed)s ] && touch %(killed)s; }; }; then\n'
            '  kill -KILL $PPID\n'
            'fi\n'
            % dict(log=self.path('upload.log'), foo=self.path('foo'), manifest=MANIFEST,
                   site=SITE_ROOT, pids=self.path('pids'), killed=self.path('killed'))).encode())
        self.upload = 'sh %s @FILE@ @PATH@ "@CACHE_CONTROL@"' % script

    def release(self, version, setup='stamped-braskworks.exe'):
        """Makes the manifest of `version` for `setup` in the test's folder."""
        name = 'Tarvik-Setup-%s.exe' % version
        shutil.copy(os.path.join(FIXTURES, setup), self.path(name))
        made = self.tool('make', name, version, PREFIX + name, '-o', 'windows-setup.json')
        self.assertEqual(made.returncode, 0, made.stderr)
        return name

    def uploads(self):
        if not os.path.exists(self.path('upload.log')):
            return []
        with open(self.path('upload.log')) as file:
            return file.read().split()

    def read(self, name):
        with open(self.path(name), 'rb') as file:
            return file.read()

    def publish(self, step, edges, site):
        """Runs `step` (see run()) against `site` (None: the Python site's
        two edges, `edges` the options that name them; else an Edges);
        returns the result and its duration."""
        if os.path.exists(self.path('upload.log')):
            os.remove(self.path('upload.log'))
        setup = self.release(step['version'], step['setup'])
        root = 'ROOT=' + site.origin if site else ''
        command = [TOOL, 'publish', 'windows-setup.json', setup, '--upload', step['upload'] or
                   ' '.join(filter(None, (step['prefix'], root, self.upload, step['mode'])))]
        if step['purge']:
            command += ['--purge', site.purge if step['purge'] == EDGE_PURGE else step['purge']]
        if site:
            edges = ('--cacert', os.path.join(PKI, 'ca.pem'), '--wait', '6') + sum(
                (('--address', address) for address in Edges.ADDRESSES), ())
        command += list(edges) + list(step['options'])
        env = dict(os.environ, PATH=step['path'] + ':' + os.environ['PATH']) if step['path'] \
            else None
        start = time.monotonic()
        if step['terminal']:
            return self.on_terminal(command, env), time.monotonic() - start
        # As under nohup when the test sends SIGHUP.
        ignore = step['signal_when'] and step['signal_when'][1] == signal.SIGHUP
        tool = subprocess.Popen(command, cwd=self.dir, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, errors='replace',
                                preexec_fn=(lambda: signal.signal(
                                    signal.SIGHUP, signal.SIG_IGN)) if ignore else None)
        if step['signal_when']:
            condition, number = step['signal_when']
            self.assertTrue(wait_for(condition, timeout=60))
            tool.send_signal(number)
        out, err = tool.communicate(timeout=300)
        return subprocess.CompletedProcess(command, tool.returncode, out, err), (
            time.monotonic() - start)

    def on_terminal(self, command, env):
        """Runs `command` with a pseudo-terminal as its controlling terminal
        and its standard input, output and error."""
        master, slave = pty.openpty()
        tool = subprocess.Popen(command, cwd=self.dir, env=env, stdin=slave, stdout=slave,
                                stderr=slave, start_new_session=True,
                                preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        output = b''
        while True:
            try:
                piece = os.read(master, 4096)
            except OSError:   # EIO: every writer is gone
                break
            if not piece:
                break
            output += piece
        os.close(master)
        tool.wait(timeout=300)
        return subprocess.CompletedProcess(command, tool.returncode, output.decode(
            errors='replace').replace('\r\n', '\n'), '')

    def check_runs(self, steps, edges, site):
        """Runs `steps` (see run()) in turn, each checked."""
        for number, step in enumerate(steps, 1):
            if step['before']:
                step['before']()
            result, duration = self.publish(step, edges, site)
            outcome = 'run %d:\n%s%s' % (number, result.stdout, result.stderr)
            self.assertEqual(result.returncode, step['code'], outcome)
            # The setup program before the manifest, and only what was needed.
            self.assertEqual(self.uploads(), step['uploads'], outcome)
            for fragment in step['fragments']:
                self.assertIn(fragment, result.stdout + result.stderr)
            for fragment in step['unsaid']:
                self.assertNotIn(fragment, result.stdout + result.stderr)
            if step['kept'] is None:
                self.assertFalse(os.path.exists(self.path('windows-setup.previous.json')))
            elif isinstance(step['kept'], str):
                self.assertEqual(json.loads(self.read('windows-setup.previous.json'))['version'],
                                 step['kept'])
            else:
                self.assertEqual(self.read('windows-setup.previous.json'), step['kept'])
            if step['within']:
                self.assertLess(duration, step['within'])
            if step['then']:
                step['then']()
            if '--json' in step['options']:
                report = json.loads(result.stdout)
                self.assertEqual((report['passed'], report['exit_code']),
                                 (step['code'] == 0, step['code']))

    def test_publish_in_the_safe_order(self):
        old = manifest(**publish_release(fixture('stamped-braskworks.exe'),
                                         name='Tarvik-Setup-1.4.2.exe'))
        setup_142, setup_143 = '/downloads/Tarvik-Setup-1.4.2.exe', '/downloads/Tarvik-Setup-1.4.3.exe'

        def live_142(*more):
            """The site serves release 1.4.2, and `more` (path, bytes) too."""
            site_clear()
            for path, data in ((MANIFEST, old), (setup_142, fixture('stamped-braskworks.exe'))) + more:
                site_put(path, data)

        def served_1_4_3():
            """The site serves 1.4.3, published by hand: no journal; and the
            folder keeps an older release's rollback point."""
            live_142()
            self.write('windows-setup.previous.json', b'{"stale": true}')
            self.release('1.4.3')
            site_put(MANIFEST, self.read('windows-setup.json'))
            site_put(setup_143, fixture('stamped-braskworks.exe'))

        def take_the_manifest_down():
            for name in MANIFEST, MANIFEST + '.at-127.0.0.2':
                os.remove(os.path.join(SITE_ROOT, name.lstrip('/')))

        def origin_serves(version):
            with open(os.path.join(SITE_ROOT, MANIFEST.lstrip('/')), 'rb') as file:
                self.assertEqual(json.loads(file.read())['version'], version)

        def pids():
            if not os.path.exists(self.path('pids')):
                return []
            with open(self.path('pids')) as file:
                return [int(pid) for pid in file.read().split()]

        def gone(pid):
            try:
                with open('/proc/%d/stat' % pid) as file:
                    return file.read().split(') ')[1].startswith('Z')
            except OSError:
                return True

        def nothing_left_of_the_slow_upload():
            """Within 5 s of the kill the upload command and its child are
            gone, and the file they would have written never comes."""
            self.assertTrue(wait_for(lambda: all(gone(pid) for pid in pids()), timeout=5), pids())
            time.sleep(5)
            self.assertFalse(os.path.exists(os.path.join(SITE_ROOT, setup_143.lstrip('/'))))

        def stand_ins():
            """An `aws` and a `curl` that do nothing, first on PATH."""
            site_clear()
            os.makedirs(self.path('bin'))
            for name in 'aws', 'curl':
                self.write('bin/' + name, b'#!/bin/sh\nexit 0\n')
                os.chmod(self.path('bin/' + name), 0o755)

        def pager():
            """A purge command that, like a pager, reads the terminal when its
            output is one, and logs the path it purged."""
            site_clear()
            self.write('pager.sh', ('if [ -t 1 ] || [ -t 2 ]; then read answer < /dev/tty; fi\n'
                                    'echo "$1" >> %s\n' % self.path('purged')).encode())

        def old_release(edges):
            return edges.put(MANIFEST, old).put(setup_142, fixture('stamped-braskworks.exe'))

        stray = (MANIFEST + '.at-127.0.0.2', old)
        # The README's upload and purge commands, as a shell reads them.
        with open(os.path.join(CONFIG['source_dir'], 'README.md')) as file:
            forms = [shlex.split(line)[1] for line in re.findall(
                r'^\s*(--(?:upload|purge) .*?)(?: \\)?$', file.read(), re.M)]
        s3, cloudfront, cloudflare = (next(form for form in forms if word in form)
                                      for word in ('aws s3 cp', 'cloudfront', 'curl'))
        edges = ('--cacert', os.path.join(PKI, 'ca.pem'), '--address', '127.0.0.1', '--address',
                 '127.0.0.2', '--wait', '6')
        cases = {  # name: what the site serves first, then the runs (see run())
            'a first release': (site_clear, [run(
                '1.4.2', '', 0, [setup_142, MANIFEST], None, 'rollback point: none',
                'the release 1.4.2 is live on every address')]),
            'a second release on top of it': (live_142, [run(
                '1.4.3', '', 0, [setup_143, MANIFEST], old,
                'rollback point: windows-setup.previous.1.4.2.json')]),
            'the same version with other bytes': (live_142, [run(
                '1.4.2', '', 1, [], None, 'a published URL never changes', 'nothing was published',
                setup='setup-sha384.exe')]),
            'the site not in one state': (lambda: live_142((MANIFEST + '.at-127.0.0.2', old + b' ')),
                                          [run('1.4.3', '', 1, [], None,
                                               'the site is not in one state')]),
            'the setup program there already': (lambda: (site_clear(), site_put(
                setup_142, fixture('stamped-braskworks.exe'))), [run(
                    '1.4.2', '', 0, [MANIFEST], None, 'every address serves it already')]),
            'an upload that fails on the setup program': (site_clear, [run(
                '1.4.2', 'fail-setup', 1, [setup_142], None,
                'the upload of Tarvik-Setup-1.4.2.exe to %s failed: it exited with 1' % setup_142,
                'nothing was published')]),
            'an edge that never serves the new manifest': (lambda: live_142(stray), [run(
                '1.4.3', '', 1, [setup_143, MANIFEST, MANIFEST], old,
                'the previous release is live again')]),
            'the same, and the rollback upload fails': (lambda: live_142(stray), [run(
                '1.4.3', 'fail-rollback', 3, [setup_143, MANIFEST, MANIFEST], old,
                'NEEDS A PERSON')]),
            'the same with no previous release': (lambda: (site_clear(), site_fault(
                MANIFEST + '.at-127.0.0.2', status=404)), [run(
                    '1.4.2', '', 3, [setup_142, MANIFEST], None, 'NEEDS A PERSON',
                    'no earlier release to put back')]),
            # The rollback is verified as the release that it puts back.
            'an unverifiable rollback': (lambda: live_142(stray), [run(
                '1.4.3', 'lose-previous', 3, [setup_143, MANIFEST, MANIFEST], old,
                'NEEDS A PERSON')]),
            # Only the folder's copy of the rollback point is left, and the
            # operator takes the manifest down: the re-run keeps it.
            'the lost rollback point': (lambda: live_142(stray), [
                run('1.4.3', 'fail-rollback', 3, [setup_143, MANIFEST, MANIFEST], old),
                run('1.4.3', 'fail-rollback', 0, [MANIFEST], old,
                    'rollback point: windows-setup.previous.1.4.2.json',
                    before=take_the_manifest_down)]),
            # A release that went live is left alone, whatever its edges do.
            'a re-run of a live release, an edge failing since': (live_142, [
                run('1.4.3', '', 0, [setup_143, MANIFEST], old),
                run('1.4.3', '', 1, [], old, 'was published already',
                    'nothing was uploaded or rolled back', before=lambda: site_fault(
                        MANIFEST + '.at-127.0.0.2', status=503, after=1),
                    then=lambda: origin_serves('1.4.3'))]),
            'a re-run of a live release': (live_142, [
                run('1.4.3', '', 0, [setup_143, MANIFEST], old),
                run('1.4.3', '', 0, [], old, 'it was published already')]),
            'a release that the site serves already, with no journal': (served_1_4_3, [run(
                '1.4.3', '', 0, [], b'{"stale": true}', 'every address serves this manifest '
                'already', 'nothing was uploaded')]),
            # Killed in its manifest upload, then run again as it was.
            'killed in each manifest upload': (live_142, [
                run('1.4.3', 'kill-after-manifest', -9, [setup_143, MANIFEST], old),
                run('1.4.3', 'kill-after-manifest', 0, [], old,
                    'ended after its manifest upload began', 'the release 1.4.3 is live')]),
            'killed once, then an edge fails for the new manifest': (live_142, [
                run('1.4.3', 'kill-once', -9, [setup_143, MANIFEST], old),
                run('1.4.3', 'kill-once', 1, [MANIFEST], old, 'the previous release is live '
                    'again on every address', before=lambda: site_put(*stray),
                    then=lambda: origin_serves('1.4.2'))]),
            'killed while the upload command\'s child sleeps': (live_142, [run(
                '1.4.3', 'slow', -9, [setup_143], old, signal_when=(lambda: len(pids()) == 2,
                                                                   signal.SIGKILL),
                then=nothing_left_of_the_slow_upload)]),
            # As under nohup: a SIGHUP during the wait does not end it.
            'SIGHUP ignored at start': (lambda: live_142(stray), [run(
                '1.4.3', '', 1, [setup_143, MANIFEST, MANIFEST], old,
                'the previous release is live again', signal_when=(
                    lambda: MANIFEST in self.uploads(), signal.SIGHUP))]),
            # An edge that trickles the new setup program never holds the wait.
            'an edge that trickles the new setup program': (live_142, [run(
                '1.4.3', 'trickle-setup', 1, [setup_143], old, 'out of time',
                'nothing was published', options=('--wait', '20'), within=60)]),
            'the upload command\'s own variables': (site_clear, [
                run('1.4.2', '', 0, [], None, 'FOO=\u2026 sh ', prefix='FOO=bar',
                    options=('--dry-run',)),
                run('1.4.2', '', 0, [setup_142, MANIFEST], None, prefix='FOO=bar',
                    then=lambda: self.assertEqual(self.read('foo'), b'bar\n'))]),
            # A plan that names a program which the real run would not find.
            'a program that is not on PATH': (site_clear, [run(
                '1.4.2', '', 1, [], None, "the upload command's program no-such-uploader is not "
                'found on PATH', upload='AWS_PROFILE=release no-such-uploader cp @FILE@ @PATH@',
                options=('--dry-run',))]),
            # The quoted placeholder stays one word.
            'a dry run': (site_clear, [run(
                '1.4.2', '', 0, [], None, "/windows-setup.json no-cache",
                "Tarvik-Setup-1.4.2.exe /downloads/Tarvik-Setup-1.4.2.exe 'public, "
                "max-age=31536000, immutable'", 'dry run: the plan holds',
                options=('--dry-run',))]),
            'the verdict as JSON': (site_clear, [run(
                '1.4.2', 'fail-setup', 1, [setup_142], None, '"exit_code": 1',
                options=('--json',))]),
            # Hosts as publishers have them, on real caching edges: S3 read
            # without s3:ListBucket answers 403 for a missing file.
            'S3 read without list permission': (lambda: Edges('=403'), [
                run('1.4.2', '', 0, [setup_142, MANIFEST], None,
                    options=('--absent-status', '403')),
                run('1.4.3', '', 0, [setup_143, MANIFEST], '1.4.2',
                    options=('--absent-status', '403'))]),
            'the same without --absent-status': (lambda: Edges('=403'), [run(
                '1.4.2', '', 1, [], None, 'status 403', 'give --absent-status 403')]),
            # A page is nothing there, whatever its size.
            'edges that answer a missing file with a large page': (lambda: Edges(page=5000), [
                run('1.4.2', '', 0, [setup_142, MANIFEST], None, 'rollback point: none',
                    'no manifest: a page (text/html): the site answers a missing file with a '
                    'page'),
                run('1.4.3', '', 0, [setup_143, MANIFEST], '1.4.2')]),
            'edges that answer a missing file with a small page': (lambda: Edges(page=2000), [
                run('1.4.2', '', 0, [setup_142, MANIFEST], None, 'rollback point: none')]),
            # A 404 that a cache keeps: under the probe's own URL where the
            # key holds the query string, else under the plain URL too.
            'edges that keep 404s, the query string in the key': (lambda: Edges(
                caching=KEEP_404 % 5), [run('1.4.2', '', 0, [setup_142, MANIFEST], None,
                                             options=('--wait', '20'))]),
            'edges that keep 404s longer than the wait, the query left out': (lambda: Edges(
                query_in_key=False, caching=KEEP_404 % 60), [run(
                    '1.4.2', '', 1, [setup_142], None, 'a cache may be keeping it', '--purge')]),
            'the same, purged after each upload': (lambda: Edges(
                query_in_key=False, caching=KEEP_404 % 60), [run(
                    '1.4.2', '', 0, [setup_142, MANIFEST], None, purge=EDGE_PURGE)]),
            # A minimum lifetime keeps the old manifest past its no-cache.
            'edges with a minimum lifetime, purged': (lambda: old_release(Edges(
                caching=MINIMUM_LIFETIME)), [run(
                    '1.4.3', '', 0, [setup_143, MANIFEST], old, purge=EDGE_PURGE,
                    unsaid=('waiting for',))]),
            # As written in the README; stand-ins for the programs it names.
            'the README\'s S3, CloudFront and Cloudflare forms': (stand_ins, [
                run('1.4.2', '', 0, [], None, 'upload: aws s3 cp Tarvik-Setup-1.4.2.exe '
                    's3://tarvik-site/downloads/Tarvik-Setup-1.4.2.exe --cache-control \'public, '
                    'max-age=31536000, immutable\' --content-type application/octet-stream '
                    '--no-progress', 'purge: aws cloudfront create-invalidation --distribution-id '
                    'E1EXAMPLE --paths /windows-setup.json', upload=s3, purge=cloudfront,
                    options=('--dry-run',), path=self.path('bin')),
                run('1.4.2', '', 0, [], None, 'purge: curl -sS --fail -X POST -H '
                    '@/secure/cf-auth -H \'Content-Type: application/json\' --data '
                    '\'{"files":["https://localhost:%d/windows-setup.json"]}\'' % CONFIG['port'],
                    upload=s3, purge=cloudflare, options=('--dry-run',), path=self.path('bin'))]),
            # No command gets the terminal.
            'on a terminal, a purge that pages': (pager, [run(
                '1.4.2', '', 0, [setup_142, MANIFEST], None, purge='sh %s @PATH@' % self.path(
                    'pager.sh'), terminal=True, unsaid=('purge of',), then=lambda: self.assertEqual(
                        self.read('purged').split(), [setup_142.encode(), MANIFEST.encode()]))]),
        }
        for name, (before, steps) in cases.items():
            with self.subTest(name):
                for entry in os.listdir(self.dir):
                    if entry != 'upload.sh':
                        (shutil.rmtree if os.path.isdir(self.path(entry)) else os.remove)(
                            self.path(entry))
                site = before()
                try:
                    self.check_runs(steps, edges, site if isinstance(site, Edges) else None)
                finally:
                    if isinstance(site, Edges):
                        site.close()
        site_clear()


class UsageTest(ToolTestCase):
    def test_bad_arguments_exit_2_with_usage(self):
        setup = os.path.join(FIXTURES, 'setup-braskworks.exe')
        cases = {
            'nothing': [],
            'unknown command': ['upload', setup],
            'publish without an upload command': ['publish', 'm.json', setup],
            'publish with an open quote': ['publish', 'm.json', setup, '--upload', "cp 'x"],
            'publish with an empty upload command': ['publish', 'm.json', setup, '--upload', ' '],
            # What a shell would read otherwise, unquoted, is refused.
            'publish with &&': ['publish', 'm.json', setup, '--upload', 'cp @FILE@ x && rm x'],
            'publish with a variable': ['publish', 'm.json', setup, '--upload',
                                        'cp @FILE@ "$HOME@PATH@"'],
            # A second command, or none.
            'publish with a line break': ['publish', 'm.json', setup, '--upload',
                                          'cp @FILE@ x\nrm -rf /'],
            'publish with only a variable': ['publish', 'm.json', setup, '--upload', 'FOO=bar'],
            'max-time with a wait': ['live', '--wait', '5', '--max-time', '5'],
            'an absent status that is no client error': ['publish', 'm.json', setup, '--upload',
                                                           'cp', '--absent-status', '200'],
            'a purge for live': ['live', '--purge', 'true'],
            'max-time for publish': ['publish', 'm.json', setup, '--upload', 'cp', '--max-time',
                                     '5'],
            'publish with --expect': ['publish', 'm.json', setup, '--upload', 'cp', '--expect',
                                      'm.json'],
            'dry run for live': ['live', '--dry-run'],
            'make without url': ['make', setup, '1.4.2'],
            'make with one operand too many': ['make', setup, '1.4.2', URL, 'x'],
            'unknown option': ['make', setup, '1.4.2', URL, '--force'],
            '-o without a value': ['make', setup, '1.4.2', URL, '-o'],
            'check without a manifest': ['check'],
            'publisher without a setup program to check': ['check', 'm.json', '--publisher', 'X'],
            'bootstrapper without a setup program': ['check', 'm.json', '--bootstrapper', setup],
            'timestamp flag for check': ['check', 'm.json', setup, LAX],
            'signature without a file': ['signature', '--timestamped'],
            'signature with a bootstrapper': ['signature', setup, '--bootstrapper', setup],
            'timestamped for make': ['make', setup, '1.4.2', URL, '--timestamped'],
            'unversioned url flag for check': ['check', 'm.json', setup, '--allow-unversioned-url'],
            'address for check': ['check', 'm.json', setup, '--address', '127.0.0.1'],
            'live with an operand': ['live', 'm.json'],
            'wait that is not a number': ['live', '--wait', '5m'],
        }
        for name, args in cases.items():
            with self.subTest(name):
                result = self.tool(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn('usage: tarvik-manifest', result.stderr)
        self.assertEqual(os.listdir(self.dir), [])


class BootstrapperAcceptsTest(ToolTestCase):
    def download_dirs(self):
        return glob.glob(os.path.join(wine_temp_dir(), 'TarvikInstaller-*'))

    def test_written_manifest_passes_the_signed_bootstrapper(self):
        site_clear()
        for path in self.download_dirs():
            shutil.rmtree(path)
        setup = os.path.join(FIXTURES, 'setup-braskworks.exe')
        result = self.make(setup, '1.4.2', URL)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.path('out.json'), 'rb') as file:
            site_put('/windows-setup.json', file.read())
        site_put(URL[len(SITE):], fixture('setup-braskworks.exe'))

        run = wine([os.path.join(FIXTURES, 'bootstrapper-braskworks.exe'), '--check'],
                   timeout=120)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(len(site_requests(URL[len(SITE):])), 1)
        # --check deletes the download but leaves its folder.
        for path in self.download_dirs():
            self.assertEqual(os.listdir(path), [])
            shutil.rmtree(path)
        site_clear()


if __name__ == '__main__':
    unittest.main()
