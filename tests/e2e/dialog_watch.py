"""Watching the bootstrapper's dialogs from outside, through the Windows
watcher program (tests/tools/dialog_watcher.cpp), and screenshots of the
virtual display."""

import json
import os
import subprocess
import threading
import time

from harness_lib import CONFIG, wine_env

SCREENSHOTS = os.path.join(CONFIG['build_dir'], 'screenshots')
SS_TYPEMASK, SS_ICON = 0x1F, 0x03


class Dialog:
    """What a person sees of one task dialog."""

    def __init__(self, window):
        children = window['children']
        statics = [c for c in children if c['class'] == 'Static']
        links = [c for c in children if c['class'] == 'SysLink']
        self.pid = window['pid']
        self.has_icon = any((c['style'] & SS_TYPEMASK) == SS_ICON for c in statics)
        texts = [c['text'] for c in statics if (c['style'] & SS_TYPEMASK) != SS_ICON]
        self.headline = texts[0] if texts else None
        self.content = links[0]['text'] if links else None
        self.footer = links[-1]['text'] if len(links) > 1 else None
        self.buttons = {c['text'].replace('&', ''): bool(c['enabled'])
                        for c in children if c['class'] == 'Button'}
        bars = [c for c in children if c['class'] == 'msctls_progress32']
        self.progress = bars[0]['pos'] if bars else None
        self.marquee = bool(bars[0]['marquee']) if bars else None

    def __repr__(self):
        return repr(self.__dict__)


class Watcher:
    """Runs the watcher and keeps every state it reported."""

    def __init__(self):
        self.process = subprocess.Popen(['wine', CONFIG['dialog_watcher']], env=wine_env(),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.states = []   # lists of Dialog, in order of observation
        self.replies = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            message = json.loads(line)
            with self.lock:
                if 'windows' in message:
                    self.states.append([Dialog(w) for w in message['windows']])
                else:
                    self.replies.append(message)

    def current(self):
        with self.lock:
            return self.states[-1] if self.states else []

    def state_count(self):
        with self.lock:
            return len(self.states)

    def all_dialogs(self, since=0):
        """Every dialog of every state reported, or of those from the
        state numbered `since` on."""
        with self.lock:
            return [dialog for state in self.states[since:] for dialog in state]

    def wait_for(self, predicate, timeout=30):
        """Waits until one dialog satisfies `predicate`; returns it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for dialog in self.current():
                if predicate(dialog):
                    return dialog
            time.sleep(0.05)
        raise AssertionError('no dialog matched within %s s; last seen: %r'
                             % (timeout, self.current()))

    def wait_until_gone(self, timeout=10):
        """Waits until the watcher reports no dialog at all. The watcher
        samples every 50 ms, so its last report can still show a window
        that its process was tearing down when it exited."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.current():
                return True
            time.sleep(0.05)
        return False

    def command(self, text, timeout=10):
        with self.lock:
            count = len(self.replies)
        self.process.stdin.write((text + '\n').encode())
        self.process.stdin.flush()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.replies) > count:
                    return self.replies[count]['ok'] == 1
            time.sleep(0.05)
        raise AssertionError('the watcher did not answer ' + text)

    def stop(self):
        try:
            self.process.stdin.write(b'quit\n')
            self.process.stdin.flush()
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=5)
        self.process.stdin.close()
        self.process.stdout.close()


def screenshot(name):
    """Saves the virtual display as SCREENSHOTS/name.png, once the dialog
    has had a moment to repaint what just changed."""
    time.sleep(0.5)
    os.makedirs(SCREENSHOTS, exist_ok=True)
    path = os.path.join(SCREENSHOTS, name + '.png')
    subprocess.run(['import', '-window', 'root', path], env=wine_env(), check=True)
    return path
