#!/usr/bin/python3
"""Checks a freshly signed executable, whatever signed it, and deletes it
when a check fails, so that a failed build leaves nothing to publish.

  check_signature.py OSSLSIGNCODE IMAGE PUBLISHER (timestamped|any)

Checks, in this order: a signature is present and matches the file; its
signer's simple display name (what Windows shows and what the bootstrapper
compares) is PUBLISHER; it carries an RFC 3161 timestamp (unless `any`).
Trust in the certificate chain is not checked: that is decided on the
user's machine.
"""

import os
import re
import subprocess
import sys


def simple_display_name(subject):
    """The first of CN, OU, O and emailAddress of a "/O=x/CN=y" subject."""
    parts = dict(re.findall(r'/(\w+)=((?:[^/]|/(?!\w+=))*)', subject))
    return next((parts[key] for key in ('CN', 'OU', 'O', 'emailAddress') if key in parts), '')


def main(osslsigncode, image, publisher, timestamp):
    report = subprocess.run([osslsigncode, 'verify', '-in', image], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors='replace').stdout
    signer = re.search(r"Signer's certificate:\s*-+\s*Signer #0:\s*Subject: (.*)", report)
    if signer is None:
        failure = 'no signature'
    elif 'MISMATCH' in report:
        failure = 'the signature does not match the file'
    elif simple_display_name(signer.group(1)) != publisher:
        failure = 'signer "%s" is not the publisher "%s"' % (simple_display_name(signer.group(1)),
                                                             publisher)
    elif timestamp == 'timestamped' and 'Timestamp time:' not in report:
        failure = 'no timestamp'
    else:
        return
    os.remove(image)
    sys.exit('%s: signature check failed: %s' % (image, failure))


if __name__ == '__main__':
    main(*sys.argv[1:])
