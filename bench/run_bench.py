#!/usr/bin/python3
"""Download benchmark: TarvikInstaller.exe --check on a 300 MiB release from
the local test site, side by side with the platform floor under the same
Wine and with curl | sha256sum natively, plus the peak memory of --check for
a 1 MiB and a 300 MiB release and the executable's size.

Run it through scripts/bench, which builds what it needs. Prints figures;
asserts nothing.
"""

import hashlib
import os
import platform
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'tests', 'harness'))
from harness_lib import (CONFIG, FIXTURES, PKI, SITE, manifest, site_clear, site_put,  # noqa: E402
                         wine_env)

ROUNDS = 5
BIG = 314572800        # the largest release the bootstrapper accepts
SMALL = 1048576
FLOOR = os.path.join(CONFIG['build_dir'], 'tests', 'platform_floor.exe')
BOOTSTRAPPER = os.path.join(FIXTURES, 'bootstrapper-unsigned.exe')


def release(size):
    """The test setup program, padded to `size` bytes (data after the image
    keeps it a valid program)."""
    with open(os.path.join(FIXTURES, 'setup-unsigned.exe'), 'rb') as file:
        setup = file.read()
    return setup + b'\0' * (size - len(setup))


def publish(name, data):
    site_put('/downloads/' + name, data)
    return {'url': SITE + '/downloads/' + name, 'sha256': hashlib.sha256(data).hexdigest(),
            'size': len(data)}


def use_manifest(entry):
    site_put('/windows-setup.json', manifest(version='9.9.9', **entry))


def timed(command, env=None, code=0):
    """Wall time and peak resident memory (KiB) of one command, which must
    exit with `code`."""
    start = time.monotonic()
    result = subprocess.run(['/usr/bin/time', '-f', '%M'] + command, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    elapsed = time.monotonic() - start
    if result.returncode != code:
        sys.exit('failed (%d): %s' % (result.returncode, ' '.join(command)))
    return elapsed, int(result.stderr.decode().strip().splitlines()[-1])


def machine():
    cpu = 'unknown CPU'
    with open('/proc/cpuinfo') as file:
        for line in file:
            if line.startswith('model name'):
                cpu = line.split(':', 1)[1].strip()
                break
    with open('/proc/meminfo') as file:
        memory = int(file.readline().split()[1]) // 1024 // 1024
    wine = subprocess.run(['wine', '--version'], env=wine_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout.strip()
    return '%s, %d cores, %d GiB, Linux %s, %s' % (cpu, os.cpu_count(), memory,
                                                  platform.release(), wine)


def main():
    env = wine_env()
    site_clear()
    print('Preparing a %d-byte and a %d-byte release ...' % (BIG, SMALL), flush=True)
    big = publish('bench-300.exe', release(BIG))
    small = publish('bench-1.exe', release(SMALL))
    check = ['wine', BOOTSTRAPPER, '--check']
    floor = ['wine', FLOOR, big['url']]
    curl = ['sh', '-c', 'curl -sS --cacert %s %s | sha256sum' % (os.path.join(PKI, 'ca.pem'),
                                                                    big['url'])]
    use_manifest(big)
    timed(check, env)   # warm the page cache and the Wine server
    timed(floor, env)

    # The manifest tool's live check reads the same release natively. The
    # bench releases are unsigned, so it ends with 1, but only after the
    # whole file was fetched and hashed.
    live = [CONFIG['manifest_tool'], 'live', '--address', '127.0.0.1', '--cacert',
            os.path.join(PKI, 'ca.pem')]
    rows = {'check': [], 'floor': [], 'curl': [], 'rss_big': [], 'rss_small': [],
            'live_big': [], 'live_small': []}
    for round_ in range(ROUNDS):
        print('Round %d of %d ...' % (round_ + 1, ROUNDS), flush=True)
        use_manifest(big)
        seconds, rss = timed(check, env)
        rows['check'].append(seconds)
        rows['rss_big'].append(rss)
        rows['floor'].append(timed(floor, env)[0])
        rows['curl'].append(timed(curl)[0])
        rows['live_big'].append(timed(live, code=1)[1])
        use_manifest(small)
        rows['rss_small'].append(timed(check, env)[1])
        rows['live_small'].append(timed(live, code=1)[1])
    site_clear()

    median = {key: statistics.median(values) for key, values in rows.items()}
    size = os.path.getsize(CONFIG['product'])
    print()
    print('Machine: ' + machine())
    print('300 MiB release over loopback HTTPS, median of %d runs:' % ROUNDS)
    print('  TarvikInstaller.exe --check      %6.2f s' % median['check'])
    print('  platform floor (WinHTTP + CNG)   %6.2f s' % median['floor'])
    print('  curl | sha256sum (native)        %6.2f s' % median['curl'])
    print('  ratio --check / floor            %6.2f   (target at most 1.10)'
          % (median['check'] / median['floor']))
    print('Peak resident memory of --check (whole Wine process):')
    print('  1 MiB release                    %6.1f MiB' % (median['rss_small'] / 1024))
    print('  300 MiB release                  %6.1f MiB' % (median['rss_big'] / 1024))
    print('  difference                       %6.2f MiB (target under 1)'
          % ((median['rss_big'] - median['rss_small']) / 1024))
    print('Peak resident memory of tarvik-manifest live:')
    print('  1 MiB release                    %6.1f MiB' % (median['live_small'] / 1024))
    print('  300 MiB release                  %6.1f MiB' % (median['live_big'] / 1024))
    print('  difference                       %6.2f MiB (target within 2)'
          % ((median['live_big'] - median['live_small']) / 1024))
    print('TarvikInstaller.exe, unsigned      %6d bytes (%.1f KiB)' % (size, size / 1024))


if __name__ == '__main__':
    main()
