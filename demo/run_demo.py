#!/usr/bin/python3
"""The main job, end to end, on this machine.

Builds TarvikInstaller.exe for a local release site, makes a demo release
(a setup program that installs a demo Tarvik.exe for the current user),
signs both with a throwaway "Braskworks" certificate made on the spot,
publishes the release with its manifest on a local HTTPS site, and runs the
bootstrapper in its dialog mode under Wine: on your display when there is
one, otherwise on a virtual display, saving screenshots. It prints where the
application was installed and the bootstrapper's exit code, then stops what
it started.

Run it through scripts/demo, which installs the Debian packages it needs.
Everything it makes stays in build-demo/ (delete the folder to start over).
"""

import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, 'build-demo')
SCREENSHOTS = os.path.join(BUILD, 'screenshots')
PORT = 9443
HOST = 'localhost:%d' % PORT
VERSION = '1.0.0'
SETUP_NAME = 'Tarvik-Setup-%s.exe' % VERSION

# The demo's folder is laid out like the test harness's (Wine prefix, pki,
# site), so that the harness's helpers and Wine environment serve it too.
os.makedirs(BUILD, exist_ok=True)
os.environ['TARVIK_HARNESS_JSON'] = os.path.join(BUILD, 'harness.json')
with open(os.environ['TARVIK_HARNESS_JSON'], 'w') as _file:
    json.dump({'source_dir': ROOT, 'build_dir': BUILD, 'harness_dir': BUILD, 'port': PORT,
               'untrusted_port': PORT + 1}, _file)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'harness'))
from harness import make_prefix, start_display, start_site, teardown  # noqa: E402
from harness_lib import (PKI, PREFIX, SITE_ROOT, UNINSTALL_KEY, remove_uninstall_entry,  # noqa: E402
                         wine_env)


def step(text):
    print('==> ' + text, flush=True)


def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


class Demo:
    def __init__(self):
        self.virtual_display = False

    def build(self):
        step('Making a throwaway certificate authority and a "Braskworks" signing certificate')
        shutil.rmtree(PKI, ignore_errors=True)
        run([sys.executable, os.path.join(ROOT, 'tests', 'site', 'make_pki.py'), PKI],
            stdout=subprocess.DEVNULL)
        step('Building TarvikInstaller.exe for https://%s, signed as Braskworks' % HOST)
        run(['cmake', '-S', ROOT, '-B', BUILD, '-G', 'Ninja',
             '-DCMAKE_TOOLCHAIN_FILE=' + os.path.join(ROOT, 'cmake', 'mingw-w64-x86_64.cmake'),
             '-DTARVIK_SITE_HOST=' + HOST, '-DTARVIK_BUILD_TESTS=OFF', '-DTARVIK_BUILD_DEMO=ON',
             '-DTARVIK_SIGN_CERT=' + os.path.join(PKI, 'sign-braskworks-chain.pem'),
             '-DTARVIK_SIGN_KEY=' + os.path.join(PKI, 'sign-braskworks.key'),
             # A local demo: nothing to timestamp for.
             '-DTARVIK_SIGN_ALLOW_NO_TIMESTAMP=ON'],
            stdout=subprocess.DEVNULL)
        run(['cmake', '--build', BUILD], stdout=subprocess.DEVNULL)

    def publish(self):
        step('Publishing the demo release %s on the local site' % VERSION)
        release = os.path.join(BUILD, 'release')
        for folder in SITE_ROOT, release:
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
        setup = os.path.join(release, SETUP_NAME)
        # Timestamped by the throwaway time-stamping authority, as the
        # publisher's tool requires.
        run(['osslsigncode', 'sign', '-certs', os.path.join(PKI, 'sign-braskworks-chain.pem'),
             '-key', os.path.join(PKI, 'sign-braskworks.key'), '-h', 'sha256', '-n', 'Tarvik Setup',
             '-TSA-certs', os.path.join(PKI, 'tsa-chain.pem'), '-TSA-key', os.path.join(PKI, 'tsa.key'),
             '-TSA-time', str(int(time.time())),
             '-in', os.path.join(BUILD, 'demo', 'demo_setup.exe'), '-out', setup],
            stdout=subprocess.DEVNULL)
        # The publisher's tool writes the manifest, applying the
        # bootstrapper's own rules to it, then publishes both on the site's
        # two addresses: the setup program first, the manifest last, each
        # waited for until both addresses serve it.
        tool = os.path.join(BUILD, 'tarvik-manifest')
        run([tool, 'make', setup, VERSION, 'https://%s/downloads/%s' % (HOST, SETUP_NAME),
             '-o', os.path.join(release, 'windows-setup.json')])
        start_site()
        run([tool, 'publish', 'windows-setup.json', SETUP_NAME,
             '--upload', "install -D -m 644 @FILE@ '%s@PATH@'" % SITE_ROOT,
             '--address', '127.0.0.1', '--address', '127.0.0.2',
             '--cacert', os.path.join(PKI, 'ca.pem'), '--wait', '30'], cwd=release)

    def display(self):
        """Uses the caller's display if it answers, else starts Xvfb."""
        if os.environ.get('DISPLAY') and subprocess.run(
                ['xdpyinfo'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
            step('Using your display %s' % os.environ['DISPLAY'])
            return
        start_display()
        self.virtual_display = True
        step('No display found: using a virtual one (%s); screenshots go to %s'
             % (wine_env()['DISPLAY'], SCREENSHOTS))

    def prepare_wine(self):
        step('Preparing a Wine prefix that trusts the throwaway authority')
        make_prefix()
        run(['wine', os.path.join(BUILD, 'demo', 'demo_trust_root.exe'),
             os.path.join(PKI, 'ca.der')], env=wine_env())
        # A fresh demo: no earlier installation.
        remove_uninstall_entry()

    def screenshot(self, seen, save=True):
        """Saves the virtual screen unless it looked like this before."""
        shot = subprocess.run(['import', '-window', 'root', '-strip', 'png:-'], env=wine_env(),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        digest = hashlib.sha256(shot).hexdigest()
        if not shot or digest in seen:
            return
        seen.add(digest)
        if not save:
            return
        path = os.path.join(SCREENSHOTS, 'demo-%02d.png' % len(os.listdir(SCREENSHOTS)))
        with open(path, 'wb') as file:
            file.write(shot)
        print('    screenshot: ' + path, flush=True)

    def run_bootstrapper(self):
        step('Running TarvikInstaller.exe (dialog mode)')
        shutil.rmtree(SCREENSHOTS, ignore_errors=True)
        os.makedirs(SCREENSHOTS)
        seen = set()
        if self.virtual_display:
            # The empty screen counts as seen: only windows are worth a file.
            self.screenshot(seen, save=False)
        bootstrapper = subprocess.Popen(['wine', os.path.join(BUILD, 'TarvikInstaller.exe')],
                                        env=wine_env())
        while bootstrapper.poll() is None:
            if self.virtual_display:
                self.screenshot(seen)
            time.sleep(0.2)
        if self.virtual_display:
            # The installed application opens after the dialog has closed.
            for _ in range(8):
                time.sleep(0.5)
                self.screenshot(seen)
        else:
            print('    Close the Tarvik window to finish.', flush=True)
            subprocess.run(['wineserver', '-w'], env=wine_env(), timeout=300)
        return bootstrapper.returncode

    def report(self, exit_code):
        query = subprocess.run(['wine', 'reg', 'query', UNINSTALL_KEY, '/v', 'InstallLocation'],
                               env=wine_env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True).stdout
        location = [line.split('REG_SZ', 1)[1].strip() for line in query.splitlines()
                    if 'InstallLocation' in line and 'REG_SZ' in line]
        if location:
            unix = glob.glob(os.path.join(PREFIX, 'drive_c', 'users', '*', 'AppData', 'Local',
                                          'Programs', 'Tarvik', 'Tarvik.exe'))
            print('Installed at:  %s' % location[0])
            if unix:
                print('               (%s)' % unix[0])
        else:
            print('Installed at:  nowhere (no uninstall entry was written)')
        print('Exit code:     %d (%s)' % (exit_code, 'success' if exit_code == 0 else 'failure'))

    def stop(self):
        teardown()   # the site, Wine and the virtual display


def main():
    demo = Demo()
    try:
        demo.build()
        demo.publish()
        demo.display()
        demo.prepare_wine()
        exit_code = demo.run_bootstrapper()
        demo.report(exit_code)
    finally:
        demo.stop()
    return 0 if exit_code == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
