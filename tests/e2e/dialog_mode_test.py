#!/usr/bin/python3
"""Dialog mode end to end on the virtual display: the real TarvikInstaller.exe
built for the local test site, the test setup program, and a watcher in
another process that reads the dialogs as a person would see them and
presses their buttons. Screenshots of each state go to build/screenshots."""

import os
import re
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'harness'))
from harness_lib import (CONFIG, FIXTURES, HARNESS, SITE, clear_download_dirs, dll_overrides,  # noqa: E402
                         download_dirs, fixture, plan_runs, publish_release,
                         remove_uninstall_entry, site_clear, site_fault, wine_start, windows_path,
                         write_plan)
from dialog_watch import Watcher, screenshot  # noqa: E402
from harness import signed  # noqa: E402

PLAN = os.path.join(HARNESS, 'dialog-plan.txt')
INSTALLED = os.path.join(HARNESS, 'dialog-installed')
HOST = CONFIG['site_host']
EMAIL = CONFIG['support_email']

FAILURE_HEADLINE = 'Tarvik couldn\u2019t be installed'
FAILURE_CONTENT = {
    2: 'Tarvik couldn\u2019t reach %s to find the latest version. Check your internet '
       'connection and try again.' % HOST,
    3: 'The download stopped before it finished. Check your internet connection and try again.',
    4: 'The downloaded installer didn\u2019t pass Tarvik\u2019s safety check, so it wasn\u2019t '
       'run. Please try again.',
    6: 'The installer didn\u2019t finish. If your computer is managed by your company, ask your '
       'IT team to allow apps signed by Braskworks (%s/work explains how).' % HOST,
}
FAILURE_CONTENT[5] = FAILURE_CONTENT[4]
DOWNLOAD_URL = SITE + '/downloads/Tarvik-Setup.exe'
FOOTER_WITH_DOWNLOAD = ('You can also <a href="%s">download the full installer</a> or write to '
                        '<a href="mailto:%s">%s</a>.' % (DOWNLOAD_URL, EMAIL, EMAIL))
FOOTER_MAIL_ONLY = 'Still stuck? Write to <a href="mailto:%s">%s</a>.' % (EMAIL, EMAIL)
PROGRESS_FOOTER = ('By installing Tarvik you agree to its <a href="https://%s/terms">Terms</a> and '
                   '<a href="https://%s/privacy">Privacy Policy</a>.' % (HOST, HOST))
COUNTDOWN = re.compile(r'^Your computer\u2019s security software is checking Tarvik\. This can '
                       r'take a few minutes the first time\. Trying again in (\d+) s\u2026$')


def progress_dialog(dialog):
    return dialog.footer == PROGRESS_FOOTER


def failure_dialog(dialog):
    return dialog.headline == FAILURE_HEADLINE


def runs():
    return len(plan_runs(PLAN))


class DialogModeTest(unittest.TestCase):
    def setUp(self):
        site_clear()
        shutil.rmtree(INSTALLED, ignore_errors=True)
        clear_download_dirs()
        remove_uninstall_entry()
        self.plan('0')
        self.watcher = Watcher()
        self.processes = []

    def tearDown(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.watcher.stop()

    def plan(self, exit_codes, sleep_ms=0):
        write_plan(PLAN, exit_codes, INSTALLED, sleep_ms)

    def publish(self, setup=None, slow=False, **overrides):
        """Publishes a release; a slow one takes about 5 s to download."""
        setup = setup if setup is not None else fixture('setup-unsigned.exe')
        if slow:
            setup += b'\0' * 2000000   # data after the image: still runs
        publish_release(setup, **overrides)
        if slow:
            site_fault('/downloads/Tarvik-Setup.exe', body='slow', chunk_size=100000, delay_ms=250)

    def start(self, bootstrapper='bootstrapper-unsigned.exe', args=(), env=None):
        process = wine_start([os.path.join(FIXTURES, bootstrapper)] + list(args),
                             env=dict(env or {}, TARVIK_TEST_SETUP_PLAN=windows_path(PLAN)))
        self.processes.append(process)
        return process

    def finish(self, process, timeout=60):
        return process.wait(timeout=timeout)

    def assertNoFailureDialog(self):
        self.assertFalse([d for d in self.watcher.all_dialogs() if failure_dialog(d)])

    def test_successful_install(self):
        self.plan('0', sleep_ms=3000)
        self.publish(slow=True)
        process = self.start()
        first = self.watcher.wait_for(progress_dialog)
        self.assertEqual(first.headline, 'Installing Tarvik')
        self.assertIn(first.content, ('Getting the latest version\u2026',
                                      'Downloading Tarvik 1.4.2\u2026'))
        self.assertTrue(first.has_icon)
        self.assertEqual(first.buttons, {'Cancel': True})
        downloading = self.watcher.wait_for(
            lambda d: d.content == 'Downloading Tarvik 1.4.2\u2026' and 0 < d.progress < 100)
        self.assertFalse(downloading.marquee)
        screenshot('progress-downloading')
        installing = self.watcher.wait_for(lambda d: d.content == 'Installing\u2026')
        self.assertEqual(installing.headline, 'Installing Tarvik')
        self.assertTrue(installing.marquee)
        self.assertEqual(installing.buttons, {'Cancel': False})
        screenshot('progress-installing')
        self.assertEqual(self.finish(process), 0)

        # The bar only ever rose while downloading.
        positions = [d.progress for d in self.watcher.all_dialogs()
                     if progress_dialog(d) and not d.marquee]
        self.assertEqual(positions, sorted(positions))
        self.assertGreater(len(set(positions)), 2)
        self.assertTrue(self.watcher.wait_until_gone(), self.watcher.current())
        self.assertNoFailureDialog()
        self.assertEqual(runs(), 1)
        self.assertTrue(os.path.exists(os.path.join(INSTALLED, 'opened.log')),
                        'the installed application was opened')

    def test_blocked_run_waits_and_retries(self):
        self.plan('3 0', sleep_ms=1000)
        self.publish()
        process = self.start()
        waiting = self.watcher.wait_for(lambda d: d.headline == 'Waiting for your security check')
        self.assertRegex(waiting.content, COUNTDOWN)
        self.assertEqual(waiting.buttons, {'Cancel': True})
        self.assertTrue(waiting.marquee)
        screenshot('progress-security-wait')
        later = self.watcher.wait_for(
            lambda d: d.content and COUNTDOWN.match(d.content)
            and int(COUNTDOWN.match(d.content).group(1)) <= 58)
        self.assertEqual(later.headline, 'Waiting for your security check')
        again = self.watcher.wait_for(lambda d: d.content == 'Installing\u2026', timeout=90)
        self.assertEqual(again.headline, 'Installing Tarvik')
        self.assertEqual(again.buttons, {'Cancel': False})
        self.assertEqual(self.finish(process), 0)
        self.assertNoFailureDialog()
        self.assertEqual(runs(), 2)

    def test_cancel_during_a_slow_download(self):
        self.publish(slow=True)
        process = self.start()
        self.watcher.wait_for(lambda d: d.content == 'Downloading Tarvik 1.4.2\u2026'
                              and d.progress > 0)
        self.assertTrue(self.watcher.command('click Cancel'))
        self.assertEqual(self.finish(process, timeout=20), 1)
        self.assertNoFailureDialog()
        self.assertEqual(runs(), 0)

    def test_cancel_during_the_checks_of_a_finished_download(self):
        # The publisher check reads a large signed release whole once more
        # after the bar reached 100 %, while Cancel is still enabled.
        self.publish(signed(fixture('setup-unsigned.exe') + b'\0' * (120 << 20),
                            'sign-braskworks'))
        process = self.start('bootstrapper-braskworks.exe')
        self.watcher.wait_for(lambda d: progress_dialog(d) and d.progress == 100
                              and not d.marquee, timeout=60)
        self.assertTrue(self.watcher.command('click Cancel'))
        self.assertEqual(self.finish(process, timeout=20), 1)
        self.assertNoFailureDialog()
        self.assertEqual(runs(), 0)
        self.assertFalse(os.path.exists(os.path.join(INSTALLED, 'opened.log')))
        self.assertEqual([name for path in download_dirs() for name in os.listdir(path)], [])

    def test_cancel_during_the_countdown(self):
        self.plan('3 0')
        self.publish()
        process = self.start()
        self.watcher.wait_for(lambda d: d.headline == 'Waiting for your security check')
        self.assertTrue(self.watcher.command('click Cancel'))
        self.assertEqual(self.finish(process, timeout=20), 1)
        self.assertNoFailureDialog()
        self.assertEqual(runs(), 1)

    def test_escape_and_close_during_a_setup_run_do_nothing(self):
        self.plan('0', sleep_ms=5000)
        self.publish()
        process = self.start()
        self.watcher.wait_for(lambda d: d.content == 'Installing\u2026')
        self.assertTrue(self.watcher.command('escape'))
        self.assertTrue(self.watcher.command('close'))
        self.assertTrue(self.watcher.command('click Cancel'))
        time.sleep(1)
        self.assertEqual([d.content for d in self.watcher.current()], ['Installing\u2026'])
        self.assertIsNone(process.poll())
        self.assertEqual(self.finish(process), 0)
        self.assertNoFailureDialog()

    def check_failure(self, code, bootstrapper='bootstrapper-unsigned.exe', env=None):
        process = self.start(bootstrapper, env=env)
        failure = self.watcher.wait_for(failure_dialog)
        self.assertEqual(failure.content, FAILURE_CONTENT[code])
        self.assertEqual(failure.footer, FOOTER_MAIL_ONLY if code == 2 else FOOTER_WITH_DOWNLOAD)
        self.assertEqual(failure.buttons, {'Close': True})
        self.assertTrue(failure.has_icon)
        screenshot('failure-%d' % code)
        self.assertTrue(self.watcher.command('click Close'))
        self.assertEqual(self.finish(process, timeout=20), 1)

    def test_failure_dialog_for_each_code(self):
        with self.subTest(code=2):
            site_fault('/windows-setup.json', status=404)
            self.check_failure(2)
        with self.subTest('no WinHTTP', code=2):
            site_clear()
            self.publish()
            self.check_failure(2, env=dll_overrides('winhttp'))
        with self.subTest(code=3):
            site_clear()
            self.publish()
            site_fault('/downloads/Tarvik-Setup.exe', status=404)
            self.check_failure(3)
        with self.subTest(code=4):
            site_clear()
            self.publish(sha256='0' * 64)
            self.check_failure(4)
        with self.subTest(code=5):
            site_clear()
            self.publish(fixture('setup-other.exe'))
            self.check_failure(5, 'bootstrapper-braskworks.exe')
        with self.subTest(code=6):
            site_clear()
            self.plan('5')
            self.publish()
            self.check_failure(6)
            self.assertEqual(runs(), 1)
        with self.subTest('code 6, another machine'):
            # A signed setup program for ARM64 can never start: no countdown.
            site_clear()
            setup = bytearray(fixture('setup-unsigned.exe'))
            header = int.from_bytes(setup[0x3C:0x40], 'little')
            setup[header + 4:header + 6] = (0xAA64).to_bytes(2, 'little')
            self.publish(signed(bytes(setup), 'sign-braskworks'))
            self.plan('0')
            self.check_failure(6, 'bootstrapper-braskworks.exe')
            self.assertEqual(runs(), 0)
            self.assertFalse([d for d in self.watcher.all_dialogs()
                              if d.headline == 'Waiting for your security check'])

    def assertOnlyDialogsOf(self, pid, since):
        """No window but those of the Windows process `pid` was seen from
        the watcher's state numbered `since` on (the watcher reports only
        changes, so that state is the one current then). While that process
        lives, Wine gives no other process its id."""
        self.assertEqual({d.pid for d in self.watcher.all_dialogs(since)}, {pid})

    def test_one_dialog_instance_per_session(self):
        # The first start stays in its countdown while the others come.
        self.plan('3 0')
        self.publish()
        first = self.start()
        shown = self.watcher.wait_for(lambda d: d.headline == 'Waiting for your security check')
        since = self.watcher.state_count() - 1
        second = self.start()
        self.assertEqual(self.finish(second, timeout=20), 0)
        # A Check run is not held back by the dialog.
        check = self.start(args=['--check'])
        self.assertEqual(self.finish(check, timeout=60), 0)
        self.assertEqual(len(self.watcher.current()), 1)
        self.assertOnlyDialogsOf(shown.pid, since)
        self.assertTrue(self.watcher.command('click Cancel'))
        self.assertEqual(self.finish(first, timeout=20), 1)

        site_clear()
        site_fault('/windows-setup.json', status=404)
        first = self.start()
        shown = self.watcher.wait_for(failure_dialog)
        since = self.watcher.state_count() - 1
        second = self.start()
        self.assertEqual(self.finish(second, timeout=20), 0)
        self.assertEqual(len(self.watcher.current()), 1)
        self.assertOnlyDialogsOf(shown.pid, since)
        self.assertTrue(self.watcher.command('click Close'))
        self.assertEqual(self.finish(first, timeout=20), 1)


if __name__ == '__main__':
    unittest.main()
