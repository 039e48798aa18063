"""Shared helpers of the test harness, the end-to-end tests, the benchmark
and the demo.

Every path comes from harness.json, which CMake writes into the build
folder; its location is given by the environment variable
TARVIK_HARNESS_JSON (CTest sets it for every test).

  harness_lib.py PROGRAM [ARG...]   runs a Windows program under Wine in the
                                    harness's environment (the build's
                                    wine-run, CMake's cross-compiling
                                    emulator, comes here)
"""

import glob
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

with open(os.environ['TARVIK_HARNESS_JSON']) as _file:
    CONFIG = json.load(_file)

HARNESS = CONFIG['harness_dir']
PREFIX = os.path.join(HARNESS, 'wineprefix')
PKI = os.path.join(HARNESS, 'pki')
FIXTURES = os.path.join(HARNESS, 'fixtures')
SITE_ROOT = os.path.join(HARNESS, 'site', 'www')
REQUESTS_LOG = os.path.join(HARNESS, 'site', 'requests.log')
DISPLAY_FILE = os.path.join(HARNESS, 'display')   # the virtual display's number
SITE = 'https://localhost:%d' % CONFIG['port']


def windows_path(path):
    """The path under which Windows programs in Wine see a Unix path."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def dll_overrides(dll=None, setting='d'):
    """WINEDLLOVERRIDES of every Wine process (no Mono or Gecko to install),
    with `dll` loaded as `setting` says: 'd' disabled, 'n,b' native first."""
    overrides = 'mscoree,mshtml='
    return {'WINEDLLOVERRIDES': overrides + (';%s=%s' % (dll, setting) if dll else '')}


def wine_env(extra=None):
    """The environment of every Wine process: the harness's prefix, no debug
    output, the DLL overrides above, the harness folder for the unit tests,
    and the virtual display once harness.py has started one."""
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG='-all',
               TARVIK_HARNESS_DIR=windows_path(HARNESS), **dll_overrides())
    if os.path.exists(DISPLAY_FILE):
        with open(DISPLAY_FILE) as file:
            env['DISPLAY'] = ':' + file.read().strip()
    env.update(extra or {})
    return env


def wine(args, timeout=120, env=None, **kwargs):
    """Runs a Windows program under Wine and waits for it."""
    return subprocess.run(['wine'] + list(args), env=wine_env(env), timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def wine_start(args, env=None):
    """Starts a Windows program under Wine without waiting for it."""
    return subprocess.Popen(['wine'] + list(args), env=wine_env(env),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wine_temp_dir():
    """The Wine user's temporary directory (what GetTempPathW names)."""
    users = os.path.join(PREFIX, 'drive_c', 'users')
    found = [path for pattern in ('*/Temp', '*/AppData/Local/Temp')
             for path in glob.glob(os.path.join(users, pattern))
             if not path.startswith(os.path.join(users, 'Public'))]
    return found[0]


def download_dirs():
    """The bootstrapper's download folders in that temporary directory."""
    return glob.glob(os.path.join(wine_temp_dir(), 'TarvikInstaller-*'))


def clear_download_dirs():
    for path in download_dirs():
        (os.remove if os.path.islink(path) else shutil.rmtree)(path)


def write_plan(path, exit_codes, installed=None, sleep_ms=0):
    """Writes a plan for the test setup program (tests/tools/test_setup.cpp)
    and removes its run log: the exit codes of its runs, how long each run
    takes, and whether a run that exits with 0 installs the test application
    into the folder `installed`."""
    lines = ['exit ' + exit_codes, 'sleep %d' % sleep_ms]
    if installed:
        lines += ['install ' + windows_path(installed), 'app ' + windows_path(CONFIG['test_app'])]
    with open(path, 'w') as file:
        file.write('\n'.join(lines) + '\n')
    if os.path.exists(path + '.log'):
        os.remove(path + '.log')


def plan_runs(path):
    """The command lines of the setup runs that the plan's log recorded."""
    if not os.path.exists(path + '.log'):
        return []
    with open(path + '.log', encoding='utf-8', errors='replace') as file:
        return [line.rstrip('\r\n').split('\t', 1)[1] for line in file if line.strip()]


# The test site. Tests run one at a time and each sets up what it needs.

def site_clear():
    shutil.rmtree(SITE_ROOT, ignore_errors=True)
    os.makedirs(SITE_ROOT)
    open(REQUESTS_LOG, 'w').close()


def site_put(relative, data):
    path = os.path.join(SITE_ROOT, relative.lstrip('/'))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as file:
        file.write(data)


def site_ipv6_edge():
    """Whether the test site has its edge on ::1 (where the machine has IPv6)."""
    try:
        socket.create_connection(('::1', CONFIG['port']), timeout=2).close()
        return True
    except OSError:
        return False


def site_fault(relative, **settings):
    site_put(relative + '.fault', json.dumps(settings).encode())


def site_requests(path=None):
    """The requests the site received, optionally only those for `path`."""
    with open(REQUESTS_LOG) as file:
        entries = [json.loads(line) for line in file if line.strip()]
    return [entry for entry in entries if path is None or entry['path'] == path]


def manifest(version='1.4.2', url=None, sha256='0' * 64, size=1, **extra):
    """The text of a release manifest."""
    members = dict(version=version, url=url or SITE + '/downloads/Tarvik-Setup.exe',
                   sha256=sha256, size=size, **extra)
    return json.dumps(members).encode()


def publish_release(setup_bytes, version='1.4.2', name='Tarvik-Setup.exe', **overrides):
    """Publishes a setup program and a manifest that describes it."""
    site_put('/downloads/' + name, setup_bytes)
    members = dict(version=version, url=SITE + '/downloads/' + name,
                   sha256=hashlib.sha256(setup_bytes).hexdigest(), size=len(setup_bytes))
    members.update(overrides)
    site_put('/windows-setup.json', manifest(**members))
    return members


def _uninstall_key():
    """UNINSTALL_KEY of the product's src/install/launcher.h."""
    with open(os.path.join(CONFIG['source_dir'], 'src', 'install', 'launcher.h')) as file:
        define = re.search(r'#define UNINSTALL_KEY((?:\s|\\|L"[^"]*")+)', file.read()).group(1)
    return 'HKCU\\' + ''.join(re.findall(r'L"([^"]*)"', define)).replace('\\\\', '\\')


UNINSTALL_KEY = _uninstall_key()   # the product's per-user uninstall entry


def remove_uninstall_entry():
    subprocess.run(['wine', 'reg', 'delete', UNINSTALL_KEY, '/f'], env=wine_env(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def fixture(name):
    with open(os.path.join(FIXTURES, name), 'rb') as file:
        return file.read()


def wait_for(condition, timeout=20.0, interval=0.05):
    """Polls `condition` until it returns a true value or time runs out."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


if __name__ == '__main__':
    os.execvpe('wine', ['wine'] + sys.argv[1:], wine_env())
