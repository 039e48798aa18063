#!/usr/bin/python3
"""Sets up and tears down what the Windows tests run in.

  harness.py prefix     the Wine prefix alone, for tests without windows
                        or site
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


def sign(source, target, signer, stamp_time=None, description=None):
    """Signs `source` into `target` (replacing it) as `signer`; with
    `stamp_time` (Unix time) also timestamped by the test PKI's
    time-stamping authority; with `description` carrying that text."""
    stamp = ([] if description is None else ['-n', description]) + ([] if stamp_time is None else [
        '-TSA-certs', os.path.join(PKI, 'tsa-chain.pem'), '-TSA-key', os.path.join(PKI, 'tsa.key'),
        '-TSA-time', str(stamp_time)])
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
# Setup programs signed the ways an attacker or a slip would sign them:
# name: (signer, timestamped, description) or (source fixture, edit).
CRAFTED = {
    'multi': ('sign-multi', True, None),
    'decoy': ('sign-decoy', True, None),
    'u2028': ('sign-u2028', True, None),
    'nbsp': ('sign-nbsp', True, None),
    'nul': ('sign-nul', True, None),
    'orgonly': ('sign-orgonly', True, None),
    'mismatch': ('sign-mismatch', True, None),
    'forged-stamp': ('sign-braskworks', False, 'Tarvik\nTimestamp time: Jan  1 00:00:00 2026 GMT'),
    'index': ('sign-braskworks', True, 'Signature Index: 1'),
    'bad-value': ('setup-braskworks.exe', flip_signature_value),
    'past-end': ('setup-braskworks.exe', lengthen_table),
    'not-der': ('setup-braskworks.exe', break_der),
    'truncated': ('setup-braskworks.exe', truncate),
}


def make_crafted_fixtures():
    """setup-NAME.exe for each CRAFTED name, and the certificate table of
    every signed fixture as a seed for the signature fuzz target."""
    for name, how in CRAFTED.items():
        target = os.path.join(FIXTURES, 'setup-%s.exe' % name)
        if len(how) == 2:
            edited(os.path.join(FIXTURES, how[0]), target, how[1])
        else:
            sign(CONFIG['test_setup'], target, how[0], STAMP_TIME if how[1] else None, how[2])
    seeds = os.path.join(HARNESS, 'signature-seeds')
    shutil.rmtree(seeds, ignore_errors=True)
    os.makedirs(seeds)
    for path in glob.glob(os.path.join(FIXTURES, '*.exe')):
        with open(path, 'rb') as file:
            data = file.read()
        if len(data) > 0x200 and certificate_table(data):
            with open(os.path.join(seeds, os.path.basename(path)[:-4]), 'wb') as file:
                file.write(certificate_table(data))


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


def setup():
    os.makedirs(HARNESS, exist_ok=True)
    start_display()
    make_prefix()
    subprocess.run([sys.executable, os.path.join(CONFIG['source_dir'], 'tests', 'site', 'make_pki.py'),
                    PKI], check=True, stdout=subprocess.DEVNULL)
    quiet_crashes()
    trust_test_roots()
    make_fixtures()
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
    {'prefix': make_prefix, 'setup': setup, 'teardown': teardown}[sys.argv[1]]()
