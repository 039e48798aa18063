#!/usr/bin/python3
"""Builds of the program outside the main build tree: an unsigned build in
another folder that must be byte-identical to the main build's (no
timestamp, no paths), and signed builds: with a key on a PKCS#11 token and
a timestamp from a local RFC 3161 server, by the publisher's own command,
and the settings that the build refuses."""

import http.server
import os
import shutil
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'harness'))
from harness_lib import CONFIG, HARNESS, PKI, fixture, publish_release, site_clear, wine  # noqa: E402

TOOLCHAIN = os.path.join(CONFIG['source_dir'], 'cmake', 'mingw-w64-x86_64.cmake')
BUILDS = os.path.join(HARNESS, 'builds')
SIGN_SETTINGS = ('CERT', 'KEY', 'PKCS11_MODULE', 'COMMAND', 'TIMESTAMP_URL')


def build(folder, *options, env=None, **sign):
    """Configures and builds the program alone in `folder`, with the given
    TARVIK_SIGN_* settings (by lower-case name; the others empty). Returns
    the last cmake run, its output in .stdout."""
    options = list(options) + ['-DTARVIK_SIGN_%s=%s' % (name, sign.get(name.lower(), ''))
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


class SigningTest(unittest.TestCase):
    """Signed builds, all in one folder: each reconfiguration only relinks."""
    folder = os.path.join(BUILDS, 'signed')
    exe = os.path.join(folder, 'TarvikInstaller.exe')
    cert, key = os.path.join(PKI, 'sign-braskworks-chain.pem'), os.path.join(PKI, 'sign-braskworks.key')

    @classmethod
    def setUpClass(cls):
        # A SoftHSM2 token "T" with user PIN 1234, in a private folder, holds
        # the Braskworks key as "braskworks".
        tokens = os.path.join(BUILDS, 'tokens')
        shutil.rmtree(tokens, ignore_errors=True)
        os.makedirs(tokens)
        for name, text in (('softhsm2.conf', 'directories.tokendir = %s\n' % tokens), ('pin', '1234'),
                           (TimeStamps.config, '[tsa]\ndefault_tsa = local\n[local]\nserial = %s/serial\n'
                            'signer_cert = %s/tsa.pem\nsigner_key = %s/tsa.key\nsigner_digest = sha256\n'
                            'default_policy = 1.2.3.4\ndigests = sha256\n' % (tokens, PKI, PKI))):
            with open(os.path.join(BUILDS, name), 'w') as file:
                file.write(text)
        cls.env = dict(os.environ, SOFTHSM2_CONF=os.path.join(BUILDS, 'softhsm2.conf'))
        p8 = os.path.join(tokens, 'key.p8')
        for command in (['softhsm2-util', '--init-token', '--free', '--label', 'T', '--pin', '1234',
                         '--so-pin', '5678'],
                        ['openssl', 'pkcs8', '-topk8', '-nocrypt', '-in', cls.key, '-out', p8],
                        ['softhsm2-util', '--import', p8, '--token', 'T', '--label', 'braskworks',
                         '--id', '01', '--pin', '1234']):
            subprocess.run(command, env=cls.env, check=True, stdout=subprocess.DEVNULL)
        cls.tsa = http.server.HTTPServer(('127.0.0.1', 0), TimeStamps)
        threading.Thread(target=cls.tsa.serve_forever, daemon=True).start()
        cls.tsa_url = 'http://127.0.0.1:%d' % cls.tsa.server_address[1]

    @classmethod
    def tearDownClass(cls):
        cls.tsa.shutdown()

    def test_key_on_a_token_and_timestamp_server(self):
        run = build(self.folder, '-DTARVIK_SITE_HOST=' + CONFIG['site_host'],
                    '-DTARVIK_SUPPORT_EMAIL=' + CONFIG['support_email'], env=self.env, cert=self.cert,
                    key='pkcs11:token=T;object=braskworks?pin-source=file:' + os.path.join(BUILDS, 'pin'),
                    pkcs11_module='/usr/lib/softhsm/libsofthsm2.so', timestamp_url=self.tsa_url)
        self.assertEqual(run.returncode, 0, run.stdout)
        verify = subprocess.run(['osslsigncode', 'verify', '-CAfile', os.path.join(PKI, 'ca.pem'),
                                 '-TSA-CAfile', os.path.join(PKI, 'ca.pem'), '-in', self.exe],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout)
        self.assertIn('Timestamp time:', verify.stdout)
        site_clear()
        publish_release(fixture('setup-other.exe'))
        self.assertEqual(wine([self.exe, '--check']).returncode, 5)
        publish_release(fixture('setup-braskworks.exe'))
        self.assertEqual(wine([self.exe, '--check']).returncode, 0)

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
                # U+2028 in another attribute: the display name is the common name.
                ({'command': command % ('-ts ' + self.tsa_url, 'sign-u2028')},
                 'signature check failed: %s is signed by "Evil", not "Braskworks"' % signing)):
            with self.subTest(message):
                run = build(self.folder, **settings)
                self.assertNotEqual(run.returncode, 0)
                self.assertIn(message, run.stdout.replace('\n  ', ' '))
        # The same command signing as the publisher, with a timestamp.
        run = build(self.folder, command=command % ('-ts ' + self.tsa_url, 'sign-braskworks'))
        self.assertEqual(run.returncode, 0, run.stdout)


if __name__ == '__main__':
    unittest.main()
