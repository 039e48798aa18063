#!/usr/bin/python3
"""Create the throw-away certificates used by the tests.

Usage: make_pki.py OUTDIR

Everything (keys included) is generated fresh into OUTDIR with the openssl
command-line tool; nothing here is meant to be kept or committed.  If
OUTDIR/done exists the folder is complete and nothing is done.

Produced files:
  ca.pem ca.key ca.der          test root CA 1 ("Tarvik Test Root CA")
  ca2.pem ca2.key ca2.der       test root CA 2 ("Tarvik Test Root CA 2")
  server.pem server.key         TLS server certificate for localhost, by CA 1
  server-chain.pem              server.pem + ca.pem
  untrusted.pem untrusted.key   self-signed TLS certificate for localhost
  sign-braskworks.*             code signing, CN=Braskworks O=Braskworks, by CA 1
  sign-braskworks-renewed.*     code signing, CN=Braskworks, by CA 2
  sign-other.*                  code signing, CN=Other Publisher Ltd, by CA 1
  (each sign-* has .pem, .key and -chain.pem = leaf + issuing CA)
  tsa.pem tsa.key tsa-chain.pem  RFC 3161 time-stamping authority, by CA 1

`openssl ca` is used rather than `openssl req -x509` / `openssl x509 -req`
because it is the only OpenSSL 3.0 command that can back-date notBefore,
which keeps the certificates valid on a machine whose clock is a little
behind.
"""

import datetime
import os
import shutil
import subprocess
import sys

OPENSSL = 'openssl'
CA_YEARS = 10
LEAF_YEARS = 5

# One config serves both `openssl req` (making requests) and `openssl ca`
# (issuing them).  Extension sections are picked per certificate with
# -extensions.  preserve=yes keeps the subject exactly as requested.
CONFIG = """\
[ req ]
distinguished_name = req_dn
prompt = no
string_mask = utf8only

[ req_dn ]
CN = placeholder

[ ca ]
default_ca = testca

[ testca ]
dir = {work}
database = {work}/index.txt
new_certs_dir = {work}/issued
serial = {work}/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
preserve = yes
email_in_dn = no

[ policy_any ]
commonName = optional
organizationName = optional

[ ext_ca ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[ ext_server ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ ext_tsa ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[ ext_codesign ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


def run(*args):
    result = subprocess.run([OPENSSL, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError('openssl %s failed:\n%s%s'
                           % (args[0], result.stdout, result.stderr))
    return result.stdout


def asn1_time(when):
    # UTCTime form; good until 2049, which is all these dates need.
    return when.strftime('%y%m%d%H%M%SZ')


class Pki:
    def __init__(self, outdir):
        self.out = outdir
        self.work = os.path.join(outdir, '_work')
        self.config = os.path.join(self.work, 'openssl.cnf')
        now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        self.start = asn1_time(now - datetime.timedelta(days=1))
        self.ca_end = asn1_time(now + datetime.timedelta(days=365 * CA_YEARS))
        self.leaf_end = asn1_time(now + datetime.timedelta(days=365 * LEAF_YEARS))

    def path(self, name):
        return os.path.join(self.out, name)

    def prepare(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(os.path.join(self.work, 'issued'))
        open(os.path.join(self.work, 'index.txt'), 'w').close()
        # Not used with -rand_serial, but `openssl ca` insists on the setting.
        with open(os.path.join(self.work, 'serial'), 'w') as f:
            f.write('1000\n')
        with open(self.config, 'w') as f:
            f.write(CONFIG.format(work=self.work))

    def issue(self, name, subject, extensions, issuer=None, days_end=None):
        """Make NAME.key and NAME.pem; issuer None means self-signed."""
        key = self.path(name + '.key')
        cert = self.path(name + '.pem')
        csr = os.path.join(self.work, name + '.csr')
        run('genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048',
            '-out', key)
        run('req', '-new', '-config', self.config, '-key', key, '-subj', subject,
            '-out', csr)
        args = ['ca', '-batch', '-config', self.config, '-notext',
                '-rand_serial', '-md', 'sha256', '-preserveDN',
                '-startdate', self.start, '-enddate', days_end,
                '-extensions', extensions, '-in', csr, '-out', cert]
        if issuer is None:
            args += ['-selfsign', '-keyfile', key]
        else:
            args += ['-cert', self.path(issuer + '.pem'),
                     '-keyfile', self.path(issuer + '.key')]
        run(*args)
        return cert

    def concat(self, target, *names):
        with open(self.path(target), 'w') as out:
            for name in names:
                with open(self.path(name)) as f:
                    out.write(f.read())

    def to_der(self, name):
        run('x509', '-in', self.path(name + '.pem'), '-outform', 'DER',
            '-out', self.path(name + '.der'))

    def make_all(self):
        self.prepare()
        self.issue('ca', '/CN=Tarvik Test Root CA', 'ext_ca', None, self.ca_end)
        self.issue('ca2', '/CN=Tarvik Test Root CA 2', 'ext_ca', None, self.ca_end)
        self.to_der('ca')
        self.to_der('ca2')

        self.issue('server', '/CN=localhost', 'ext_server', 'ca', self.leaf_end)
        self.concat('server-chain.pem', 'server.pem', 'ca.pem')
        self.issue('untrusted', '/CN=localhost', 'ext_server', None, self.leaf_end)

        signers = [
            ('sign-braskworks', '/O=Braskworks/CN=Braskworks', 'ca'),
            ('sign-braskworks-renewed', '/CN=Braskworks', 'ca2'),
            ('sign-other', '/CN=Other Publisher Ltd', 'ca'),
        ]
        for name, subject, issuer in signers:
            self.issue(name, subject, 'ext_codesign', issuer, self.leaf_end)
            self.concat(name + '-chain.pem', name + '.pem', issuer + '.pem')

        self.issue('tsa', '/CN=Tarvik Test TSA', 'ext_tsa', 'ca', self.leaf_end)
        self.concat('tsa-chain.pem', 'tsa.pem', 'ca.pem')

        shutil.rmtree(self.work, ignore_errors=True)
        with open(self.path('done'), 'w') as f:
            f.write('complete\n')


def main(argv):
    if len(argv) != 2:
        sys.stderr.write('usage: make_pki.py OUTDIR\n')
        return 2
    outdir = os.path.abspath(argv[1])
    if os.path.exists(os.path.join(outdir, 'done')):
        return 0
    os.makedirs(outdir, exist_ok=True)
    Pki(outdir).make_all()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
