#!/usr/bin/python3
"""Create the throw-away certificates used by the tests.

Usage: make_pki.py OUTDIR

Everything (keys included) is generated fresh into OUTDIR with the openssl
command-line tool; nothing here is meant to be kept or committed.  If
OUTDIR/done holds this version's marker the folder is complete and nothing
is done; a folder of an older version is made again.

Every certificate is valid from START (2024-01-01), before every time that
the tests stamp at (the harness's 2026-01-01, and now), unless CRAFTED
gives it a validity period of its own.

Produced files:
  ca.pem ca.key ca.der          test root CA 1 ("Tarvik Test Root CA")
  ca2.pem ca2.key ca2.der       test root CA 2 ("Tarvik Test Root CA 2")
  server.pem server.key         TLS server certificate for localhost and
                                127.0.0.1, by CA 1
  server-chain.pem              server.pem + ca.pem
  untrusted.pem untrusted.key   self-signed TLS certificate for localhost
  sign-braskworks.*             code signing, CN=Braskworks O=Braskworks, by CA 1
  sign-braskworks-renewed.*     code signing, CN=Braskworks, by CA 2
  sign-other.*                  code signing, CN=Other Publisher Ltd, by CA 1
  (each sign-* has .pem, .key and -chain.pem = leaf + issuing CA)
  tsa.pem tsa.key tsa-chain.pem  RFC 3161 time-stamping authority, by CA 1
  sign-<crafted>.*              code signing by CA 1 (or by a crafted
                                authority) with the names, keys, extensions
                                and validity periods of CRAFTED, which
                                `openssl req` cannot write
  <crafted>-ca.*, tsa-expired.* the crafted authorities of CRAFTED
  sign-decoy.key, sign-decoy-chain.pem
                                sign-evil's key, with a forged CN=Braskworks
                                certificate of sign-evil's issuer and serial
                                number (and key) placed before the real one

`openssl ca` is used rather than `openssl req -x509` / `openssl x509 -req`
because it is the only OpenSSL 3.0 command that can back-date notBefore.
"""

import datetime
import os
import shutil
import subprocess
import sys
import types

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.name import _ASN1Type
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

OPENSSL = 'openssl'
CA_YEARS = 10
LEAF_YEARS = 5
UTC = datetime.timezone.utc
START = datetime.datetime(2024, 1, 1, tzinfo=UTC)
# The marker of a complete folder: a new version makes older folders again.
DONE = 'complete, version 2\n'

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
subjectAltName = DNS:localhost, IP:127.0.0.1
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


def _name(*rdns):
    """An x509.Name from RDNs, each a list of (attribute, value) or
    (attribute, value, ASN.1 string type) tuples."""
    return x509.Name([x509.RelativeDistinguishedName([x509.NameAttribute(*attribute)
                                                      for attribute in rdn]) for rdn in rdns])


CN, O, OU, L, C = (NameOID.COMMON_NAME, NameOID.ORGANIZATION_NAME,
                   NameOID.ORGANIZATIONAL_UNIT_NAME, NameOID.LOCALITY_NAME, NameOID.COUNTRY_NAME)
LIFETIME_SIGNING = x509.ObjectIdentifier('1.3.6.1.4.1.311.10.3.13')


def day(text):
    return datetime.datetime.fromisoformat(text).replace(tzinfo=UTC)


def new_key():
    return rsa.generate_private_key(65537, 2048)


# Certificates for the crafted signatures, by name: code-signing subjects
# that try to pass for the publisher "Braskworks", or that are the
# publisher by Windows' rule of the simple display name (the first common
# name, else organisational unit, organisation, e-mail, the alternative
# name's e-mail address, the first attribute); the authorities that issue
# some of them; and certificates that were not valid when they signed. A
# tuple adds settings of craft(): another key, extended key usages, an
# alternative name, a validity period, another issuer (one made before it),
# a certificate authority, the certificates that its chain file carries
# after it (by default its issuer's chain).
CRAFTED = {
    'sign-evil': _name([(CN, 'Evil')]),
    'sign-multi': _name([(O, 'X'), (CN, 'Evil')], [(CN, 'Braskworks')]),
    'sign-u2028': _name([(O, 'X\u2028commonName = Braskworks')], [(CN, 'Evil')]),
    'sign-nbsp': _name([(CN, 'Braskworks\u00a0')]),
    'sign-nul': _name([(CN, 'Braskworks\0Evil')]),
    'sign-orgonly': _name([(O, 'Braskworks')]),
    'sign-mismatch': _name([(O, 'MISMATCH')], [(CN, 'Braskworks')]),
    'sign-long': _name([(CN, 'Braskworks' + 'x' * 245)]),
    # Long enough to end a 4 KiB line of a report and start another.
    'sign-huge-name': _name([(CN, 'B' * 4085 + 'passed: true')]),
    'sign-t61-nbsp': _name([(CN, 'Braskworks\u00a0', _ASN1Type.T61String)]),
    'sign-bmp': _name([(CN, 'Braskworks', _ASN1Type.BMPString)]),
    'sign-universal': _name([(CN, 'Braskworks', _ASN1Type.UniversalString)]),
    'sign-t61': _name([(CN, 'Braskworks', _ASN1Type.T61String)]),
    'sign-printable': _name([(CN, 'Braskworks', _ASN1Type.PrintableString)]),
    'sign-ia5': _name([(CN, 'Braskworks', _ASN1Type.IA5String)]),
    'sign-ouonly': _name([(C, 'DE')], [(OU, 'Braskworks')]),
    'sign-locality': _name([(L, 'Braskworks')], [(C, 'DE')]),
    'sign-san-email': (_name([(C, 'DE')]), dict(email='Braskworks')),
    'sign-noeku': (_name([(CN, 'Braskworks')]), dict(eku=())),
    'sign-serverauth': (_name([(CN, 'Braskworks')]), dict(eku=(ExtendedKeyUsageOID.SERVER_AUTH,))),
    'sign-rsa512': (_name([(CN, 'Braskworks')]), dict(key=lambda: rsa.generate_private_key(
        65537, 512))),
    'sign-ecdsa': (_name([(CN, 'Braskworks')]), dict(key=lambda: ec.generate_private_key(
        ec.SECP256R1()))),
    # Not valid at the time the tests stamp at (2026-01-01), or only then.
    'sign-expired': (_name([(CN, 'Braskworks')]), dict(valid=(day('2020-01-01'),
                                                              day('2021-01-01')))),
    'sign-not-yet': (_name([(CN, 'Braskworks')]), dict(valid=(day('2026-06-01'), None))),
    'sign-expired-since': (_name([(CN, 'Braskworks')]), dict(valid=(day('2025-01-01'),
                                                                    day('2026-06-01')))),
    'sign-lifetime': (_name([(CN, 'Braskworks')]), dict(
        valid=(day('2025-01-01'), day('2026-06-01')),
        eku=(ExtendedKeyUsageOID.CODE_SIGNING, LIFETIME_SIGNING))),
    'tsa-expired': (_name([(CN, 'Tarvik Expired TSA')]), dict(
        key=new_key, valid=(day('2020-01-01'), day('2021-01-01')),
        eku=(ExtendedKeyUsageOID.TIME_STAMPING,), eku_critical=True)),
    # Paths through an intermediate authority.
    'issuing-ca': (_name([(CN, 'Braskworks Issuing CA')]), dict(key=new_key, ca=True)),
    'sign-issued': (_name([(CN, 'Braskworks')]), dict(issuer='issuing-ca')),
    'sign-issued-alone': (_name([(CN, 'Braskworks')]), dict(issuer='issuing-ca', chain=())),
    'fake-issuing-ca': (_name([(CN, 'Braskworks Issuing CA')]), dict(key=new_key, ca=True)),
    'sign-fake-issuer': (_name([(CN, 'Braskworks')]), dict(
        issuer='issuing-ca', chain=('fake-issuing-ca', 'ca'))),
    'expired-ca': (_name([(CN, 'Braskworks Expired CA')]), dict(
        key=new_key, ca=True, valid=(day('2020-01-01'), day('2025-06-01')))),
    'sign-expired-ca': (_name([(CN, 'Braskworks')]), dict(issuer='expired-ca')),
    'serverauth-ca': (_name([(CN, 'Braskworks Server CA')]), dict(
        key=new_key, ca=True, eku=(ExtendedKeyUsageOID.SERVER_AUTH,))),
    'sign-serverauth-ca': (_name([(CN, 'Braskworks')]), dict(issuer='serverauth-ca')),
    # A root that expired before the time the tests stamp at (None: self-signed).
    'old-root-ca': (_name([(CN, 'Braskworks Old Root')]), dict(
        key=new_key, ca=True, issuer=None, valid=(day('2020-01-01'), day('2025-06-01')))),
    'sign-old-root': (_name([(CN, 'Braskworks')]), dict(issuer='old-root-ca')),
}


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
        now = datetime.datetime.now(UTC).replace(microsecond=0)
        self.start = asn1_time(START)
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

    def load(self, name):
        with open(self.path(name + '.pem'), 'rb') as f:
            cert = x509.load_pem_x509_certificate(f.read())
        with open(self.path(name + '.key'), 'rb') as f:
            return cert, serialization.load_pem_private_key(f.read(), None)

    def craft(self, name, subject, key, issuer, issuer_key, serial=None,
              eku=(ExtendedKeyUsageOID.CODE_SIGNING,), eku_critical=False, email=None,
              valid=(None, None), ca=False):
        """Writes NAME.pem: a certificate for `subject` and the private
        `key`'s public half, issued as `issuer` (a certificate) and signed
        with `issuer_key`, with the extended key usages `eku` (none: no
        extension), `email` as the alternative name's e-mail address, valid
        from and to the times `valid` (None: START, and LEAF_YEARS from
        now), and as a certificate authority with `ca`."""
        start, end = valid
        ski = x509.SubjectKeyIdentifier.from_public_key(key.public_key())
        usage = dict(digital_signature=not ca, key_cert_sign=ca, crl_sign=ca)
        builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer.subject)
                   .public_key(key.public_key())
                   .serial_number(serial or x509.random_serial_number())
                   .not_valid_before(start or START)
                   .not_valid_after(end or datetime.datetime.now(UTC) + datetime.timedelta(
                       days=365 * LEAF_YEARS))
                   .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
                   .add_extension(x509.KeyUsage(content_commitment=False, key_encipherment=False,
                                                data_encipherment=False, key_agreement=False,
                                                encipher_only=False, decipher_only=False,
                                                **usage), critical=True)
                   .add_extension(ski, critical=False)
                   .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                       issuer_key.public_key()), critical=False))
        if eku:
            builder = builder.add_extension(x509.ExtendedKeyUsage(list(eku)), eku_critical)
        if email:
            builder = builder.add_extension(
                x509.SubjectAlternativeName([x509.RFC822Name(email)]), False)
        cert = builder.sign(issuer_key, hashes.SHA256())
        with open(self.path(name + '.pem'), 'wb') as f:
            f.write(cert.public_bytes(serialization.Encoding.PEM))
        return cert

    def make_crafted(self):
        # They share the publisher's key unless they say otherwise: only the
        # names differ.
        _, braskworks_key = self.load('sign-braskworks')
        chains = {'ca': ['ca']}
        for name, subject in CRAFTED.items():
            options = {}
            if isinstance(subject, tuple):
                subject, options = subject[0], dict(subject[1])
            key = options.pop('key', lambda: braskworks_key)()
            issuer = options.pop('issuer', 'ca')
            chains[name] = [name] + list(options.pop('chain', chains.get(issuer, [])))
            with open(self.path(name + '.key'), 'wb') as f:
                f.write(key.private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
            self.craft(name, subject, key, *(self.load(issuer) if issuer else (
                types.SimpleNamespace(subject=subject), key)), **options)
            self.concat(name + '-chain.pem', *[part + '.pem' for part in chains[name]])
        # The decoy: the attacker's own certificate and key, and a forgery
        # naming Braskworks with the same issuer, serial number and key.
        ca, _ = self.load('ca')
        evil, key = self.load('sign-evil')
        self.craft('decoy', _name([(CN, 'Braskworks')]), key, ca, key, evil.serial_number)
        shutil.copy(self.path('sign-evil.key'), self.path('sign-decoy.key'))
        self.concat('sign-decoy-chain.pem', 'decoy.pem', 'sign-evil.pem', 'ca.pem')

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
        self.make_crafted()

        shutil.rmtree(self.work, ignore_errors=True)
        with open(self.path('done'), 'w') as f:
            f.write(DONE)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write('usage: make_pki.py OUTDIR\n')
        return 2
    outdir = os.path.abspath(argv[1])
    done = os.path.join(outdir, 'done')
    if os.path.exists(done):
        with open(done) as f:
            if f.read() == DONE:
                return 0
        shutil.rmtree(outdir)
    os.makedirs(outdir, exist_ok=True)
    Pki(outdir).make_all()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
