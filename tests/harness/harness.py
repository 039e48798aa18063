#!/usr/bin/python3
"""Sets up and tears down what the Windows tests run in.

  harness.py prefix     the Wine prefix alone, for tests without windows
                        or site
  harness.py fixtures   the test PKI and the signed test programs alone
                        (and with them the signature fuzz target's seeds)
  harness.py setup      virtual display, Wine prefix, test PKI trusted in
                        the prefix, signed test programs, local HTTPS site
  harness.py teardown   stops the site, Wine and the display

CTest runs `prefix` and `setup` before the first test that needs them and
`teardown` after the last one. All are safe to repeat.
"""

import glob
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

from cryptography import x509
from cryptography.hazmat.primitives import serialization

import der
from harness_lib import (CONFIG, DISPLAY_FILE, FIXTURES, HARNESS, PKI, PREFIX, SITE_ROOT, wine,
                         wine_env)

SITE_SCRIPT = os.path.join(CONFIG['source_dir'], 'tests', 'site', 'test_site.py')
DISPLAY_PID = os.path.join(HARNESS, 'xvfb.pid')
SITE_PID = os.path.join(HARNESS, 'site.pid')


def alive(pid_file):
    try:
        with open(pid_file) as file:
            os.kill(int(file.read()), 0)
        return True
    except (OSError, ValueError):
        return False


def start_display():
    """Starts Xvfb on a free display number, which it reports itself."""
    if alive(DISPLAY_PID) and os.path.exists(DISPLAY_FILE):
        return
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write_end), '-screen', '0', '1280x800x24',
                             '-nolisten', 'tcp'], pass_fds=[write_end],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        display = pipe.readline().strip()
    if not display:
        sys.exit('Xvfb did not start')
    with open(DISPLAY_FILE, 'w') as file:
        file.write(display)
    with open(DISPLAY_PID, 'w') as file:
        file.write(str(xvfb.pid))


def make_prefix():
    os.makedirs(HARNESS, exist_ok=True)
    if os.path.exists(os.path.join(PREFIX, 'system.reg')):
        return
    subprocess.run(['wineboot', '-i'], env=wine_env(), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(['wineserver', '-w'], env=wine_env(), timeout=300)


def quiet_crashes():
    """A crashing program ends at once instead of waiting in Wine's crash
    dialog, so a test sees its exit code rather than a time-out."""
    subprocess.run(['wine', 'reg', 'add', r'HKCU\Software\Wine\WineDbg', '/v', 'ShowCrashDialog',
                    '/t', 'REG_DWORD', '/d', '0', '/f'], env=wine_env(), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def trust_test_roots():
    result = wine([CONFIG['trust_root'], os.path.join(PKI, 'ca.der'), os.path.join(PKI, 'ca2.der')])
    if result.returncode != 0:
        sys.exit('cannot trust the test roots: ' + result.stderr.decode(errors='replace'))


def sign(source, target, signer, stamp_time=None, description=None, options=(), tsa='tsa'):
    """Signs `source` into `target` (replacing it) as `signer`; with
    `stamp_time` (Unix time) also timestamped by the test PKI's
    time-stamping authority `tsa`; with `description` carrying that text;
    with osslsigncode's `options` added."""
    stamp = list(options) + ([] if description is None else ['-n', description]) + (
        [] if stamp_time is None else [
        '-TSA-certs', os.path.join(PKI, tsa + '-chain.pem'),
        '-TSA-key', os.path.join(PKI, tsa + '.key'), '-TSA-time', str(stamp_time)])
    if os.path.exists(target):
        os.remove(target)   # osslsigncode does not overwrite
    subprocess.run(['osslsigncode', 'sign', '-certs', os.path.join(PKI, signer + '-chain.pem'),
                    '-key', os.path.join(PKI, signer + '.key'), '-h', 'sha256'] + stamp +
                   ['-in', source, '-out', target], check=True, stdout=subprocess.DEVNULL)


def signed(image, signer):
    """The PE `image` (bytes) signed as `signer`."""
    with tempfile.TemporaryDirectory(dir=HARNESS) as work:
        source, target = os.path.join(work, 'unsigned.exe'), os.path.join(work, 'signed.exe')
        with open(source, 'wb') as file:
            file.write(image)
        sign(source, target, signer)
        with open(target, 'rb') as file:
            return file.read()


def alter_one_byte(data):
    """One byte of a signed file changed, so that its signature no longer
    verifies. The byte is in the file padding after the first section's
    contents: covered by the signature, never run or read."""
    header = struct.unpack_from('<I', data, 0x3C)[0]
    optional_size = struct.unpack_from('<H', data, header + 20)[0]
    section = header + 24 + optional_size
    virtual_size, _, raw_size, raw_offset = struct.unpack_from('<IIII', data, section + 8)
    assert raw_size > virtual_size, 'no padding after the first section'
    data[raw_offset + raw_size - 1] ^= 0x01


def security_entry(data):
    """The file offset of a PE32+ image's security directory entry."""
    header = struct.unpack_from('<I', data, 0x3C)[0]
    return header + 24 + 112 + 4 * 8


def certificate_table(data):
    offset, size = struct.unpack_from('<II', data, security_entry(data))
    return data[offset:offset + size]


def edited(source, target, edit):
    """Copies `source` to `target` with `edit` applied to its bytes."""
    with open(source, 'rb') as file:
        data = bytearray(file.read())
    edit(data)
    with open(target, 'wb') as file:
        file.write(data)


def flip_signature_value(data):
    """One byte of the last RSA-2048 signature value in the certificate
    table: the primary signer's, in a signature without a timestamp."""
    offset = struct.unpack_from('<I', data, security_entry(data))[0]
    data[data.rindex(b'\x04\x82\x01\x00', offset) + 20] ^= 0x01


def lengthen_table(data):
    struct.pack_into('<I', data, security_entry(data) + 4,
                     struct.unpack_from('<I', data, security_entry(data) + 4)[0] + 16)


def truncate(data):
    del data[100:]


def break_der(data):
    offset = struct.unpack_from('<I', data, security_entry(data))[0]
    data[offset + 8] = 0x05


STAMP_TIME = 1767225600     # Jan  1 00:00:00 2026 GMT


def pki_signer(name):
    """The key, certificate (cryptography's) and chain (DER certificates)
    of the test PKI's `name`."""
    with open(os.path.join(PKI, name + '.key'), 'rb') as file:
        key = serialization.load_pem_private_key(file.read(), None)
    with open(os.path.join(PKI, name + '-chain.pem'), 'rb') as file:
        end = b'-----END CERTIFICATE-----'
        chain = [x509.load_pem_x509_certificate(pem + end)
                 for pem in file.read().split(end) if pem.strip()]
    return key, chain[0], [cert.public_bytes(serialization.Encoding.DER) for cert in chain]


def pkcs7_edit(change, resign=None, restamp='tsa', digest='sha256', content_digest=None,
               entries=lambda pkcs7: [der.entry(pkcs7)], misalign=0):
    """An edit of a signed file's PKCS#7: `change(info)` edits it; then with
    `resign` (a PKI name) the image digest (with `content_digest`, default
    `digest`) and the primary signer are made again with that signer's key
    and `digest`, and the timestamp stamped again by `restamp`. `entries`
    makes the certificate table from the PKCS#7's DER, `misalign` bytes
    after the image."""
    def edit(data):
        info = der.pkcs7(data)
        change(info)
        image = der.without_table(data) + bytes(misalign)
        if resign:
            der.set_image_digest(info, image, content_digest or digest)
            der.resign(info, *pki_signer(resign), digest)
        if resign or restamp != 'tsa':
            der.restamp(info, *pki_signer(restamp))
        data[:] = der.with_table(image, entries(info.encode()))
    return edit


def on_signer(change, stamp=False):
    """A pkcs7_edit change of the primary signer, or of the timestamp's."""
    return lambda info: change(der.signer(der.token(info) if stamp else info))


def upper_issuer(si):
    for rdn in si[1][0].value:
        value = rdn[0][1]
        value.value = value.value.upper()


def printable_issuer(si):
    for rdn in si[1][0].value:
        rdn[0][1].tag = der.PRINTABLESTRING


def long_digest(si):
    der.attribute(si[3], der.OID_MESSAGE_DIGEST)[1][0].long_form = True


def long_attributes(si):
    si[3].long_form = True


def drop_content_type(info):
    attributes = der.signer(info)[3]
    attributes.value.remove(der.attribute(attributes, der.OID_CONTENT_TYPE))


def content_type_data(info):
    der.attribute(der.signer(info)[3], der.OID_CONTENT_TYPE)[1].value = [der.oid(
        der.OID_DATA)]


def subject_key_signer(si):
    """A version 3 SignerInfo: the signer named by a subject key identifier."""
    si.value[0] = der.Node(0x02, b'\x03')
    si.value[1] = der.Node(0x80, bytes(20))


def no_content_stamp(info):
    der.attribute(der.signer(info)[6], der.OID_TIMESTAMP_TOKEN)[1].value = [
        der.Node(der.SEQUENCE, [der.oid(der.OID_SIGNED_DATA)])]


def countersigned(info):
    """The timestamp token moved into an old-style countersignature."""
    der.attribute(der.signer(info)[6], der.OID_TIMESTAMP_TOKEN).value[0] = der.oid(
        der.OID_COUNTERSIGNATURE)


def two_signers(info):
    signers = der.signed_data(info).value[-1]
    signers.value.append(der.parse(signers[0].encode())[0])


def wrong_checksum(data):
    struct.pack_into('<I', data, der.checksum_offset(data), 0x12345678)


def unchanged(info):
    pass


def unknown_encryption(si):
    si.value[4] = der.Node(der.SEQUENCE, [der.oid('1.3.6.1.4.1.99999.1')])


def nested(data):
    """A nested signature by Other Publisher Ltd under the primary one."""
    with tempfile.TemporaryDirectory(dir=HARNESS) as work:
        source, target = os.path.join(work, 'signed.exe'), os.path.join(work, 'nested.exe')
        with open(source, 'wb') as file:
            file.write(data)
        sign(source, target, 'sign-other', options=['-nest'])
        with open(target, 'rb') as file:
            data[:] = file.read()


# Setup programs signed the ways an attacker or a slip would sign them:
# name: (signer, timestamped, description[, more]) or (source fixture,
# edit), where `more` may name another `program` to sign, another `tsa`
# or osslsigncode's `options`. The edits of setup-stamped.exe (signed by
# Braskworks and timestamped) are DER edits of its certificate table.
CRAFTED = {
    'stamped': ('sign-braskworks', True, None),
    'multi': ('sign-multi', True, None),
    'decoy': ('sign-decoy', True, None),
    'u2028': ('sign-u2028', True, None),
    'nbsp': ('sign-nbsp', True, None),
    'nul': ('sign-nul', True, None),
    'orgonly': ('sign-orgonly', True, None),
    'mismatch': ('sign-mismatch', True, None),
    'forged-stamp': ('sign-braskworks', False, 'Tarvik\nTimestamp time: Jan  1 00:00:00 2026 GMT'),
    'index': ('sign-braskworks', True, 'Signature Index: 1'),
    'long-name': ('sign-long', True, None),
    'huge-name': ('sign-huge-name', True, None),
    't61-nbsp': ('sign-t61-nbsp', True, None),
    'bmp': ('sign-bmp', True, None),
    'universal': ('sign-universal', True, None),
    't61': ('sign-t61', True, None),
    'printable': ('sign-printable', True, None),
    'ia5': ('sign-ia5', True, None),
    'ouonly': ('sign-ouonly', True, None),
    'locality': ('sign-locality', True, None),
    'san-email': ('sign-san-email', True, None),
    'rsa512': ('sign-rsa512', True, None),
    'serverauth': ('sign-serverauth', True, None),
    'ecdsa': ('sign-ecdsa', True, None),
    'pe32': ('sign-braskworks', True, None, dict(program='test_app32')),
    # Certificates that were not valid when they signed, or are no longer.
    'expired': ('sign-expired', True, None),
    'not-yet': ('sign-not-yet', True, None),
    'expired-since': ('sign-expired-since', True, None),
    'expired-unstamped': ('sign-expired-since', False, None),
    'expired-signing-time': ('sign-expired-since', False, None,
                             dict(options=['-time', str(STAMP_TIME)])),
    'lifetime': ('sign-lifetime', True, None),
    'expired-ca': ('sign-expired-ca', True, None),
    'serverauth-ca': ('sign-serverauth-ca', True, None),
    'tsa-expired': ('sign-braskworks', True, None, dict(tsa='tsa-expired')),
    # Paths through an intermediate authority, whole or not, and to the
    # other root.
    'issued': ('sign-issued', True, None),
    'issued-alone': ('sign-issued-alone', True, None),
    'fake-issuer': ('sign-fake-issuer', True, None),
    'renewed-stamped': ('sign-braskworks-renewed', True, None),
    'old-root': ('sign-old-root', True, None),
    'bad-value': ('setup-braskworks.exe', flip_signature_value),
    'past-end': ('setup-braskworks.exe', lengthen_table),
    'not-der': ('setup-braskworks.exe', break_der),
    'truncated': ('setup-braskworks.exe', truncate),
    'checksum': ('setup-stamped.exe', wrong_checksum),
    'nested': ('setup-stamped.exe', nested),
    'no-content': ('setup-stamped.exe', pkcs7_edit(unchanged, entries=lambda _: [der.entry(
        der.Node(der.SEQUENCE, [der.oid(der.OID_SIGNED_DATA)]).encode())])),
    'stamp-no-content': ('setup-stamped.exe', pkcs7_edit(no_content_stamp)),
    'issuer-case': ('setup-stamped.exe', pkcs7_edit(on_signer(upper_issuer))),
    'issuer-printable': ('setup-stamped.exe', pkcs7_edit(on_signer(printable_issuer))),
    'digest-long': ('setup-stamped.exe', pkcs7_edit(on_signer(long_digest))),
    'attributes-long': ('setup-stamped.exe', pkcs7_edit(on_signer(long_attributes))),
    'stamp-issuer-case': ('setup-stamped.exe', pkcs7_edit(on_signer(upper_issuer, True))),
    'stamp-issuer-printable': ('setup-stamped.exe',
                               pkcs7_edit(on_signer(printable_issuer, True))),
    'stamp-digest-long': ('setup-stamped.exe', pkcs7_edit(on_signer(long_digest, True))),
    'stamp-attributes-long': ('setup-stamped.exe',
                              pkcs7_edit(on_signer(long_attributes, True))),
    'subject-key': ('setup-stamped.exe', pkcs7_edit(on_signer(subject_key_signer))),
    'unknown-encryption': ('setup-stamped.exe', pkcs7_edit(on_signer(unknown_encryption))),
    'two-signers': ('setup-stamped.exe', pkcs7_edit(two_signers)),
    'countersigned': ('setup-stamped.exe', pkcs7_edit(countersigned)),
    'two-entries': ('setup-stamped.exe', pkcs7_edit(unchanged, entries=lambda pkcs7: [
        der.entry(pkcs7), der.entry(pkcs7)])),
    'padding': ('setup-stamped.exe', pkcs7_edit(unchanged, entries=lambda pkcs7: [der.entry(
        pkcs7, padding=b'\x01' + bytes(-(len(pkcs7) + 1) % 8))])),
    'revision': ('setup-stamped.exe', pkcs7_edit(unchanged, entries=lambda pkcs7: [der.entry(
        pkcs7, revision=0x0100)])),
    'unaligned': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-braskworks', misalign=4)),
    'sha384': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-braskworks', digest='sha384')),
    'sha1': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-braskworks', digest='sha1')),
    'sha224': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-braskworks', digest='sha224')),
    'md5': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-braskworks', digest='md5')),
    'sha3': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-braskworks', digest='sha3_256')),
    'sha1-inside': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-braskworks',
                                                    content_digest='sha1')),
    'sha1-outside': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-braskworks', digest='sha1',
                                                     content_digest='sha256')),
    'no-content-type': ('setup-stamped.exe', pkcs7_edit(drop_content_type, 'sign-braskworks')),
    'data-content-type': ('setup-stamped.exe', pkcs7_edit(content_type_data, 'sign-braskworks')),
    'stamp-no-eku': ('setup-stamped.exe', pkcs7_edit(unchanged, restamp='sign-noeku')),
    'self-stamp': ('setup-stamped.exe', pkcs7_edit(unchanged, 'sign-noeku', restamp='sign-noeku')),
}
def make_crafted_fixtures():
    """setup-NAME.exe for each CRAFTED name, and seeds for the signature
    fuzz target: each signed fixture's certificate table, after the image
    digest that its signature names (64 bytes, zeros after it)."""
    for name, how in CRAFTED.items():
        target = os.path.join(FIXTURES, 'setup-%s.exe' % name)
        if len(how) == 2:
            edited(os.path.join(FIXTURES, how[0]), target, how[1])
        else:
            more = dict(how[3]) if len(how) > 3 else {}
            program = CONFIG[more.pop('program', 'test_setup')]
            sign(program, target, how[0], STAMP_TIME if how[1] else None, how[2], **more)
    seeds = os.path.join(HARNESS, 'signature-seeds')
    shutil.rmtree(seeds, ignore_errors=True)
    os.makedirs(seeds)
    for path in glob.glob(os.path.join(FIXTURES, '*.exe')):
        with open(path, 'rb') as file:
            data = file.read()
        if len(data) > 0x200 and certificate_table(data):
            try:
                digest = der.signed_data(der.pkcs7(data))[2][1][0][1][1].value
            except (IndexError, TypeError):
                digest = b''
            with open(os.path.join(seeds, os.path.basename(path)[:-4]), 'wb') as file:
                file.write(digest[:64].ljust(64, b'\0') + certificate_table(data))


def make_fixtures():
    """Signed and unsigned variants of the test setup program and of the
    bootstrapper, remade on every run from the freshly built programs."""
    shutil.rmtree(FIXTURES, ignore_errors=True)
    os.makedirs(FIXTURES)
    for name, program in (('setup', CONFIG['test_setup']), ('bootstrapper', CONFIG['bootstrapper'])):
        shutil.copy(program, os.path.join(FIXTURES, name + '-unsigned.exe'))
        sign(program, os.path.join(FIXTURES, name + '-braskworks.exe'), 'sign-braskworks')
        edited(os.path.join(FIXTURES, name + '-braskworks.exe'),
               os.path.join(FIXTURES, name + '-altered.exe'), alter_one_byte)
    sign(CONFIG['test_setup'], os.path.join(FIXTURES, 'setup-renewed.exe'), 'sign-braskworks-renewed')
    sign(CONFIG['test_setup'], os.path.join(FIXTURES, 'setup-other.exe'), 'sign-other')
    make_crafted_fixtures()


def start_site():
    os.makedirs(SITE_ROOT, exist_ok=True)
    if alive(SITE_PID):
        return
    subprocess.run([sys.executable, SITE_SCRIPT, 'start', '--root', SITE_ROOT, '--certs', PKI,
                    '--port', str(CONFIG['port']), '--untrusted-port', str(CONFIG['untrusted_port']),
                    '--pid-file', SITE_PID, '--log', os.path.join(HARNESS, 'site.log')],
                   check=True)


def make_pki_and_fixtures():
    os.makedirs(HARNESS, exist_ok=True)
    subprocess.run([sys.executable, os.path.join(CONFIG['source_dir'], 'tests', 'site', 'make_pki.py'),
                    PKI], check=True, stdout=subprocess.DEVNULL)
    make_fixtures()


def setup():
    os.makedirs(HARNESS, exist_ok=True)
    start_display()
    make_prefix()
    make_pki_and_fixtures()
    quiet_crashes()
    trust_test_roots()
    start_site()


def teardown():
    if os.path.exists(SITE_PID):
        subprocess.run([sys.executable, SITE_SCRIPT, 'stop', '--pid-file', SITE_PID])
    subprocess.run(['wineserver', '-k'], env=wine_env(), stderr=subprocess.DEVNULL)
    if alive(DISPLAY_PID):
        with open(DISPLAY_PID) as file:
            os.kill(int(file.read()), signal.SIGTERM)
    for path in (DISPLAY_PID, DISPLAY_FILE):
        if os.path.exists(path):
            os.remove(path)


if __name__ == '__main__':
    {'prefix': make_prefix, 'fixtures': make_pki_and_fixtures, 'setup': setup,
     'teardown': teardown}[sys.argv[1]]()
