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


def build(folder, *options, env=None, fresh=True, **sign):
    """Configures and builds the program alone in `folder`, with the given
    TARVIK_SIGN_* settings (by lower-case name; the others empty). Returns
    the last cmake run, its output in .stdout."""
    if fresh:
        shutil.rmtree(folder, ignore_errors=True)
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
    site = ('-DTARVIK_SITE_HOST=' + CONFIG['site_host'], '-DTARVIK_SUPPORT_EMAIL=' + CONFIG['support_email'])

    @classmethod
    def setUpClass(cls):
        # A SoftHSM2 token "T" in a private folder holds the Braskworks key.
        tokens = os.path.join(BUILDS, 'tokens')
        shutil.rmtree(tokens, ignore_errors=True)
        os.makedirs(tokens)
        with open(os.path.join(BUILDS, 'softhsm2.conf'), 'w') as file:
            file.write('directories.tokendir = %s\nobjectstore.backend = file\n' % tokens)
        with open(os.path.join(BUILDS, 'pin'), 'w') as file:
            file.write('1234')
        cls.env = dict(os.environ, SOFTHSM2_CONF=os.path.join(BUILDS, 'softhsm2.conf'))
        key = os.path.join(BUILDS, 'sign-braskworks.p8')
        for command in (['softhsm2-util', '--init-token', '--free', '--label', 'T', '--pin', '1234',
                         '--so-pin', '5678'],
                        ['openssl', 'pkcs8', '-topk8', '-nocrypt', '-in',
                         os.path.join(PKI, 'sign-braskworks.key'), '-out', key],
                        ['softhsm2-util', '--import', key, '--token', 'T', '--label', 'braskworks',
                         '--id', '01', '--pin', '1234']):
            subprocess.run(command, env=cls.env, check=True, stdout=subprocess.DEVNULL)
        with open(TimeStamps.config, 'w') as file:
            file.write('[tsa]\ndefault_tsa = local\n[local]\nserial = %s.serial\nsigner_digest = sha256\n'
                       'signer_cert = %s/tsa.pem\nsigner_key = %s/tsa.key\ncerts = %s/ca.pem\n'
                       'default_policy = 1.2.3.4\ndigests = sha256\n' % (TimeStamps.config, PKI, PKI, PKI))
        cls.tsa = http.server.HTTPServer(('127.0.0.1', 0), TimeStamps)
        threading.Thread(target=cls.tsa.serve_forever, daemon=True).start()
        cls.tsa_url = 'http://127.0.0.1:%d' % cls.tsa.server_address[1]

    @classmethod
    def tearDownClass(cls):
        cls.tsa.shutdown()

    def test_key_on_a_token_and_timestamp_server(self):
        run = build(self.folder, *self.site, env=self.env, cert=os.path.join(PKI, 'sign-braskworks-chain.pem'),
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

    def test_signing_command_result_is_checked(self):
        script = os.path.join(BUILDS, 'sign.sh')
        with open(script, 'w') as file:
            file.write('signer=$1 file=$2\nshift 2\nosslsigncode sign -certs %s/$signer-chain.pem '
                       '-key %s/$signer.key -h sha256 "$@" -in "$file" -out "$file.x" && '
                       'mv "$file.x" "$file"\n' % (PKI, PKI))
        for signer, options, failure in (
                ('sign-other', '-ts ' + self.tsa_url,
                 'signer "Other Publisher Ltd" is not the publisher "Braskworks"'),
                ('sign-braskworks', '', 'no timestamp')):
            with self.subTest(failure):
                run = build(self.folder, *self.site, fresh=False,
                            command='sh %s %s @FILE@ %s' % (script, signer, options))
                self.assertNotEqual(run.returncode, 0)
                self.assertIn('signature check failed: ' + failure, run.stdout)
                self.assertFalse(os.path.exists(self.exe))

    def test_refused_settings(self):
        cert, key = os.path.join(PKI, 'sign-braskworks-chain.pem'), os.path.join(PKI, 'sign-braskworks.key')
        for settings, message in (({'cert': cert}, 'TARVIK_SIGN_KEY is missing'),
                                  ({'key': key}, 'TARVIK_SIGN_CERT is missing'),
                                  ({'cert': cert, 'key': key}, 'needs TARVIK_SIGN_TIMESTAMP_URL')):
            with self.subTest(message):
                run = build(os.path.join(BUILDS, 'refused'), fresh=False, **settings)
                self.assertNotEqual(run.returncode, 0)
                self.assertIn(message, run.stdout.replace('\n  ', ' '))


if __name__ == '__main__':
    unittest.main()
