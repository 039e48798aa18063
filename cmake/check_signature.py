#!/usr/bin/python3
"""Checks a freshly signed executable, whatever signed it, and deletes it
when a check fails, so that a failed build leaves nothing to publish.

  check_signature.py OSSLSIGNCODE IMAGE PUBLISHER (timestamped|any)

Checks, in this order: a signature is present and matches the file; the
simple display name of its signer (what Windows shows and what the
bootstrapper compares) is PUBLISHER; its primary signature carries an RFC
3161 timestamp (unless `any`). Trust in the certificate chain is not
checked: that is decided on the user's machine.
"""

import os
import re
import subprocess
import sys
import tempfile

# Where Windows takes a certificate's simple display name from: the first
# of these subject fields that is present, each at its first occurrence.
DISPLAY_NAME_FIELDS = ('commonName', 'organizationalUnitName', 'organizationName', 'emailAddress')


def run(*command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors='replace')
    return result.returncode, result.stdout


def signer_display_name(osslsigncode, image, work):
    """The simple display name of the signer of the primary signature, ''
    when it cannot be read. OpenSSL picks the certificate that the signer
    information names (the signature also carries the issuers')."""
    signature, signer = os.path.join(work, 'signature.p7'), os.path.join(work, 'signer.pem')
    if (run(osslsigncode, 'extract-signature', '-in', image, '-out', signature)[0] != 0 or
            run('openssl', 'smime', '-verify', '-noverify', '-nosigs', '-inform', 'DER', '-in',
                signature, '-signer', signer, '-out', os.devnull)[0] != 0):
        return ''
    # One field a line: "    commonName                = Braskworks".
    fields = [line.strip().split('=', 1) for line in run(
        'openssl', 'x509', '-in', signer, '-noout', '-subject', '-nameopt',
        'multiline,utf8,-esc_msb')[1].splitlines() if '=' in line]
    for wanted in DISPLAY_NAME_FIELDS:
        for name, value in fields:
            if name.strip() == wanted:
                return value.strip()
    return ''


def main(osslsigncode, image, publisher, timestamp):
    report = run(osslsigncode, 'verify', '-in', image)[1]
    # Nested signatures follow the primary one under their own index; only
    # the primary one counts for Windows.
    primary = report.split('Signature Index: 1')[0]
    with tempfile.TemporaryDirectory() as work:
        signer = signer_display_name(osslsigncode, image, work)
    if 'Signature Index: 0' not in primary:
        failure = 'no signature'
    elif 'MISMATCH' in primary:
        failure = 'the signature does not match the file'
    elif signer != publisher:
        failure = 'signer "%s" is not the publisher "%s"' % (signer, publisher)
    elif timestamp == 'timestamped' and not re.search(r'^\s*Timestamp time:', primary, re.M):
        failure = 'no timestamp'
    else:
        return
    os.remove(image)
    sys.exit('%s: signature check failed: %s' % (image, failure))


if __name__ == '__main__':
    main(*sys.argv[1:])
