#!/usr/bin/python3
"""Builds of the program outside the main build tree: an unsigned build in
another folder that must be byte-identical to the main build's (no
timestamp, no paths), and signed builds: the README's release, run as
written in a fresh clone with a key on a PKCS#11 token and a timestamp from
a local RFC 3161 server, by the publisher's own command, and the settings
that the build refuses."""

import http.server
import os
import re
import shutil
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'harness'))
from harness_lib import (CONFIG, FIXTURES, HARNESS, PKI, SITE_ROOT, fixture,  # noqa: E402
                         publish_release, site_clear, site_ipv6_edge, wine)
from harness import STAMP_TIME, sign  # noqa: E402

TOOLCHAIN = os.path.join(CONFIG['source_dir'], 'cmake', 'mingw-w64-x86_64.cmake')
BUILDS = os.path.join(HARNESS, 'builds')
SIGN_SETTINGS = ('CERT', 'KEY', 'PKCS11_MODULE', 'COMMAND', 'TIMESTAMP_URL', 'ROOTS')


def build(folder, *options, env=None, **sign):
    """Configures and builds the program alone in `folder`, with the given
    TARVIK_SIGN_* settings (by lower-case name; the others empty) and
    `options` (the publisher Braskworks unless they say otherwise). Returns
    the last cmake run, its output in .stdout."""
    options = ['-DTARVIK_PUBLISHER=Braskworks'] + list(options) + ['-DTARVIK_SIGN_%s=%s' % (name, sign.get(name.lower(), ''))
                               for name in SIGN_SETTINGS]
    for command in (['cmake', '-S', CONFIG['source_dir'], '-B', folder, '-G', 'Ninja',
                     '-DCMAKE_TOOLCHAIN_FILE=' + TOOLCHAIN, '-DTARVIK_BUILD_TESTS=OFF'] + options,
                    ['cmake', '--build', folder]):
        run = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True)
        if run.returncode != 0:
            break
    return run


class BuildTest(unittest.TestCase):
    def test_two_builds_in_different_folders_are_identical(self):
        folder = os.path.join(BUILDS, 'elsewhere', 'again')
        shutil.rmtree(folder, ignore_errors=True)
        self.assertEqual(build(folder).returncode, 0)
        with open(os.path.join(folder, 'TarvikInstaller.exe'), 'rb') as a, open(CONFIG['product'], 'rb') as b:
            self.assertTrue(a.read() == b.read(), 'the unsigned executables differ')


class TimeStamps(http.server.BaseHTTPRequestHandler):
    """A local RFC 3161 time-stamping server: `openssl ts -reply` with the
    test PKI's time-stamping authority answers every query."""
    config = os.path.join(BUILDS, 'tsa.cnf')

    def do_POST(self):
        reply = subprocess.run(['openssl', 'ts', '-reply', '-config', self.config, '-queryfile',
                                '/dev/stdin', '-out', '/dev/stdout'], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL,
                               input=self.rfile.read(int(self.headers['Content-Length']))).stdout
        self.send_response(200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


def readme_release_commands():
    """The two command blocks of the README's "Releasing" section: building
    the files to publish, and publishing them."""
    with open(os.path.join(CONFIG['source_dir'], 'README.md')) as file:
        section = file.read().split('\n## Releasing\n')[1].split('\n## ')[0]
    return [re.sub(r'^    ', '', block, flags=re.M)
            for block in re.findall(r'(?:^    .*\n)+', section, re.M)][:2]


class SigningTest(unittest.TestCase):
    """Signed builds. Those of the refusals share one folder: each
    reconfiguration only relinks."""
    folder = os.path.join(BUILDS, 'signed')
    exe = os.path.join(folder, 'TarvikInstaller.exe')
    cert, key = os.path.join(PKI, 'sign-braskworks-chain.pem'), os.path.join(PKI, 'sign-braskworks.key')
    secure = os.path.join(BUILDS, 'secure')   # the README's /secure/

    @classmethod
    def setUpClass(cls):
        # A SoftHSM2 token "Braskworks" with user PIN 1234, in a private
        # folder, holds the Braskworks key as "codesign", as in the README.
        tokens = os.path.join(BUILDS, 'tokens')
        for folder in tokens, cls.secure:
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
        shutil.copy(cls.cert, os.path.join(cls.secure, 'braskworks-chain.pem'))
        for path, text in ((os.path.join(BUILDS, 'softhsm2.conf'), 'directories.tokendir = %s\n' % tokens),
                           (os.path.join(cls.secure, 'token-pin'), '1234'),
                           (TimeStamps.config, '[tsa]\ndefault_tsa = local\n[local]\nserial = %s/serial\n'
                            'signer_cert = %s/tsa.pem\nsigner_key = %s/tsa.key\nsigner_digest = sha256\n'
                            'default_policy = 1.2.3.4\ndigests = sha256\n' % (tokens, PKI, PKI))):
            with open(path, 'w') as file:
                file.write(text)
        cls.env = dict(os.environ, SOFTHSM2_CONF=os.path.join(BUILDS, 'softhsm2.conf'))
        p8 = os.path.join(tokens, 'key.p8')
        for command in (['softhsm2-util', '--init-token', '--free', '--label', 'Braskworks',
                         '--pin', '1234', '--so-pin', '5678'],
                        ['openssl', 'pkcs8', '-topk8', '-nocrypt', '-in', cls.key, '-out', p8],
                        ['softhsm2-util', '--import', p8, '--token', 'Braskworks', '--label',
                         'codesign', '--id', '01', '--pin', '1234']):
            subprocess.run(command, env=cls.env, check=True, stdout=subprocess.DEVNULL)
        cls.tsa = http.server.HTTPServer(('127.0.0.1', 0), TimeStamps)
        threading.Thread(target=cls.tsa.serve_forever, daemon=True).start()
        cls.tsa_url = 'http://127.0.0.1:%d' % cls.tsa.server_address[1]

    @classmethod
    def tearDownClass(cls):
        cls.tsa.shutdown()

    def test_release_as_the_readme_writes_it(self):
        """In a release folder with a signed setup program: a fresh clone,
        the signed build, make and check, then publish to the test site,
        which must go live. Then the signed bootstrapper itself."""
        work = os.path.join(BUILDS, 'release')
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        setup = os.path.join(work, 'Tarvik-Setup-1.4.2.exe')
        sign(os.path.join(FIXTURES, 'setup-unsigned.exe'), setup, 'sign-braskworks', STAMP_TIME)
        # The values that are the publisher's own; where localhost has an
        # IPv6 address that the test site cannot serve, one address only.
        site = ' --cacert ' + os.path.join(PKI, 'ca.pem') + (
            '' if site_ipv6_edge() else ' --address 127.0.0.1')
        local = {'<repository>': CONFIG['source_dir'], '/secure/': self.secure + '/',
                 'tarvik.braskworks.com': CONFIG['site_host'],
                 '/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so': '/usr/lib/softhsm/libsofthsm2.so',
                 'http://timestamp.example.com/rfc3161': self.tsa_url,
                 'tarvik-manifest publish ': 'tarvik-manifest publish' + site + ' ',
                 "'aws s3 cp @FILE@ s3://tarvik-site@PATH@ --cache-control @CACHE_CONTROL@ "
                 "--content-type @CONTENT_TYPE@ --no-progress'":
                     "'install -D @FILE@ %s@PATH@'" % SITE_ROOT,
                 # The test site keeps nothing to purge.
                 "'aws cloudfront create-invalidation --distribution-id E1EXAMPLE --paths @PATH@'":
                     "'true @PATH@'",
                 '--wait 900': '--wait 30'}
        commands = readme_release_commands()
        self.assertEqual(len(commands), 2)
        for value, ours in local.items():
            # Each stands in the README as the test expects it.
            self.assertIn(value, ''.join(commands))
            commands = [block.replace(value, ours) for block in commands]

        def run(commands):
            return subprocess.run(['sh', '-ec', commands], cwd=work, env=self.env, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        built = run(commands[0])
        self.assertEqual(built.returncode, 0, built.stdout)
        site_clear()
        published = run(commands[1])
        self.assertEqual(published.returncode, 0, published.stdout)
        self.assertIn('ok: the release 1.4.2 is live on every address', published.stdout)

        exe = os.path.join(work, 'build-release', 'TarvikInstaller.exe')
        verify = subprocess.run(['osslsigncode', 'verify', '-CAfile', os.path.join(PKI, 'ca.pem'),
                                 '-TSA-CAfile', os.path.join(PKI, 'ca.pem'), '-in', exe],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn('Timestamp time:', verify.stdout)
        self.assertEqual(wine([exe, '--check']).returncode, 0)
        publish_release(fixture('setup-other.exe'))
        self.assertEqual(wine([exe, '--check']).returncode, 5)

    def test_refused_builds_name_the_reason(self):
        # The publisher's own command: signs @FILE@ in place as SIGNER.
        command = ('sh -c \'osslsigncode sign -certs %s/$0-chain.pem -key %s/$0.key -h sha256 %%s '
                   '-in "$1" -out "$1.x" && mv "$1.x" "$1"\' %%s @FILE@' % (PKI, PKI))
        # The image is checked under this name before it takes its own.
        signing = self.exe + '.signing'
        for settings, message in (
                ({'cert': self.cert}, 'TARVIK_SIGN_KEY is missing'),
                ({'key': self.key}, 'TARVIK_SIGN_CERT is missing'),
                ({'cert': self.cert, 'key': self.key}, 'needs TARVIK_SIGN_TIMESTAMP_URL'),
                ({'command': command % ('-ts ' + self.tsa_url, 'sign-other')},
                 'signature check failed: %s is signed by "Other Publisher Ltd", not "Braskworks"'
                 % signing),
                ({'command': command % ('', 'sign-braskworks')},
                 'signature check failed: the signature of %s has no timestamp' % signing),
                # A certificate that had expired when the timestamp was made.
                ({'command': command % ('-ts ' + self.tsa_url, 'sign-expired')},
                 "signature check failed: Windows does not trust the signature of %s: the "
                 "signer's certificate 'Braskworks' expired on Jan  1 00:00:00 2021 GMT, before "
                 'the signing time' % signing),
                # Signed under the test root, checked against another one.
                ({'command': command % ('-ts ' + self.tsa_url, 'sign-braskworks'),
                  'roots': os.path.join(PKI, 'ca2.pem')},
                 "the signer's path ends at the root 'Tarvik Test Root CA', which is none of the "
                 'given roots'),
                # U+2028 in another attribute: the display name is the common name.
                ({'command': command % ('-ts ' + self.tsa_url, 'sign-u2028')},
                 'signature check failed: %s is signed by "Evil", not "Braskworks"' % signing),
                # A name that no bootstrapper could read from its own signature.
                ({'options': ['-DTARVIK_PUBLISHER=' + 'B' * 254 + '\u00e9']},
                 'TARVIK_PUBLISHER is 255 UTF-16 units long')):
            with self.subTest(message):
                run = build(self.folder, *settings.pop('options', ()), **settings)
                self.assertNotEqual(run.returncode, 0)
                # CMake's message folds lines and runs of blanks.
                self.assertIn(' '.join(message.split()), ' '.join(run.stdout.split()))
        # The same command signing as the publisher, with a timestamp, and
        # the roots that it ends at.
        run = build(self.folder, command=command % ('-ts ' + self.tsa_url, 'sign-braskworks'),
                    roots=os.path.join(PKI, 'ca.pem'))
        self.assertEqual(run.returncode, 0, run.stdout)
        # PEM files sign as PEM files, though a token's module is still set.
        run = build(self.folder, cert=self.cert, key=self.key, timestamp_url=self.tsa_url,
                    pkcs11_module='/usr/lib/softhsm/libsofthsm2.so')
        self.assertEqual(run.returncode, 0, run.stdout)


if __name__ == '__main__':
    unittest.main()
