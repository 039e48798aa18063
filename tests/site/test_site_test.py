#!/usr/bin/python3
"""Checks of test_site.py that the product's tests cannot make: that each
fault really happens, that nothing outside the root is served, that the
untrusted twin answers, and the site's start and stop. (The certificates of
make_pki.py are checked by the product's tests that use them.)

Run: /usr/bin/python3 tests/site/test_site_test.py
"""

import http.client
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_PKI = os.path.join(HERE, 'make_pki.py')
SITE = os.path.join(HERE, 'test_site.py')

work = None      # temp folder for everything below
pki = None       # certificates
root = None      # served files
port = None
untrusted_port = None
pid_file = None


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def site_command(*args):
    return subprocess.run([sys.executable, SITE, *args],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=30)


def start_site(name, *extra):
    """Start an instance on fresh ports; returns (port, untrusted, pid file)."""
    ports = free_port(), free_port()
    pid = os.path.join(work, name + '.pid')
    result = site_command('start', '--root', root, '--certs', pki,
                          '--port', str(ports[0]),
                          '--untrusted-port', str(ports[1]),
                          '--pid-file', pid,
                          '--log', os.path.join(work, name + '.log'), *extra)
    if result.returncode != 0:
        raise RuntimeError('start failed: ' + result.stdout)
    return ports[0], ports[1], pid


def setUpModule():
    global work, pki, root, port, untrusted_port, pid_file
    work = tempfile.mkdtemp(prefix='tarvik-site-test-')
    pki = os.path.join(work, 'pki')
    root = os.path.join(work, 'root')
    os.mkdir(root)
    subprocess.run([sys.executable, MAKE_PKI, pki], check=True)
    port, untrusted_port, pid_file = start_site('site')


def tearDownModule():
    site_command('stop', '--pid-file', pid_file)
    shutil.rmtree(work, ignore_errors=True)


def put(name, data, fault=None):
    """Places a file in the root and, if given, its fault sidecar."""
    path = os.path.join(root, name)
    with open(path, 'wb') as f:
        f.write(data)
    if fault is not None:
        with open(path + '.fault', 'w') as f:
            json.dump(fault, f)


def client_context(ca='ca.pem'):
    ctx = ssl.create_default_context(cafile=os.path.join(pki, ca))
    # Debian's Python 3.11 sets this by default, which makes a TCP close
    # without TLS close_notify look like a clean end of data.
    ctx.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF
    return ctx


def fetch(path, on_port=None):
    conn = http.client.HTTPSConnection('localhost', on_port or port,
                                       context=client_context(), timeout=10)
    try:
        conn.request('GET', path)
        resp = conn.getresponse()
        return resp.status, resp, resp.read()
    finally:
        conn.close()


class RawResponse:
    def __init__(self, head, body, reads, clean_end):
        lines = head.decode('latin-1').split('\r\n')
        self.status = int(lines[0].split()[1])
        self.headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(':')
            self.headers[name.strip().lower()] = value.strip()
        self.body = body
        self.reads = reads            # (monotonic time, bytes) per recv
        self.clean_end = clean_end    # True if the server sent close_notify


def raw_get(path):
    """GET over a raw TLS socket, reading until the connection ends, so that
    bytes beyond Content-Length and the way the connection ended are seen."""
    ctx = client_context()
    sock = socket.create_connection(('127.0.0.1', port), timeout=10)
    tls = ctx.wrap_socket(sock, server_hostname='localhost',
                          suppress_ragged_eofs=False)
    with tls:
        tls.sendall(b'GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n'
                    % path.encode())
        data = b''
        reads = []
        clean_end = True
        while True:
            try:
                piece = tls.recv(65536)
            except (ssl.SSLError, ConnectionResetError):
                # Python 3.11.2 reports the missing close_notify as a plain
                # SSLError, later versions as SSLEOFError.
                clean_end = False
                break
            if not piece:
                break
            reads.append((time.monotonic(), len(piece)))
            data += piece
    head, _, body = data.partition(b'\r\n\r\n')
    header_length = len(head) + 4
    body_reads = []
    for when, n in reads:  # drop the header bytes from the read list
        taken = min(n, header_length)
        header_length -= taken
        if n > taken:
            body_reads.append((when, n - taken))
    return RawResponse(head, body, body_reads, clean_end)


class ServingTest(unittest.TestCase):
    def test_paths_leaving_the_root_are_refused(self):
        # requests.log sits beside the root, so it is a real target.
        for path in ('/../requests.log', '/%2e%2e/requests.log',
                     '/x/..%2f..%2frequests.log'):
            with self.subTest(path):
                status, _, body = fetch(path)
                self.assertEqual(status, 403)
                self.assertNotIn(b'"user_agent"', body)

    def test_untrusted_port(self):
        put('u.bin', b'same content')
        with self.assertRaises(ssl.SSLCertVerificationError):
            fetch('/u.bin', on_port=untrusted_port)
        conn = http.client.HTTPSConnection(
            'localhost', untrusted_port, context=client_context('untrusted.pem'),
            timeout=10)
        conn.request('GET', '/u.bin')
        self.assertEqual(conn.getresponse().read(), b'same content')
        conn.close()

class FaultTest(unittest.TestCase):
    data = bytes(range(256)) * 40   # 10240 bytes

    def test_cut(self):
        put('cut.bin', self.data, {'body': 'cut', 'cut_at': 5000})
        raw = raw_get('/cut.bin')
        self.assertEqual(int(raw.headers['content-length']), len(self.data))
        self.assertEqual(raw.body, self.data[:5000])
        self.assertFalse(raw.clean_end)

    def test_overlong(self):
        put('long.bin', self.data, {'body': 'overlong', 'extra': 77})
        raw = raw_get('/long.bin')
        self.assertEqual(int(raw.headers['content-length']), len(self.data))
        self.assertEqual(len(raw.body), len(self.data) + 77)
        self.assertTrue(raw.body.startswith(self.data))

    def test_no_length(self):
        put('nolen.bin', self.data, {'body': 'no_length'})
        raw = raw_get('/nolen.bin')
        self.assertNotIn('content-length', raw.headers)
        self.assertNotIn('transfer-encoding', raw.headers)
        self.assertEqual(raw.body, self.data)
        self.assertTrue(raw.clean_end)

    def test_slow(self):
        put('slow.bin', self.data, {'body': 'slow', 'chunk_size': 4000,
                                    'delay_ms': 150})
        raw = raw_get('/slow.bin')
        self.assertEqual(raw.body, self.data)
        self.assertEqual(int(raw.headers['content-length']), len(self.data))
        # 3 pieces with two pauses: the first piece must come well before
        # the last, i.e. reads return between pieces.
        self.assertGreaterEqual(len(raw.reads), 3)
        self.assertGreater(raw.reads[-1][0] - raw.reads[0][0], 0.25)
        self.assertEqual(raw.reads[0][1], 4000)

class LifecycleTest(unittest.TestCase):
    def wait_gone(self, pid, seconds):
        deadline = time.monotonic() + seconds
        while os.path.exists(pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        return not os.path.exists(pid)

    def refused(self, p):
        try:
            socket.create_connection(('127.0.0.1', p), timeout=2).close()
            return False
        except ConnectionRefusedError:
            return True

    def test_stop(self):
        p, u, pid = start_site('stopped')
        self.assertTrue(os.path.exists(pid))
        self.assertEqual(site_command('stop', '--pid-file', pid).returncode, 0)
        self.assertFalse(os.path.exists(pid))
        self.assertTrue(self.refused(p))
        self.assertTrue(self.refused(u))
        self.assertEqual(site_command('stop', '--pid-file', pid).returncode, 0)

    def test_idle_timeout_ends_the_server(self):
        p, _, pid = start_site('idle', '--idle-timeout', '1')
        self.assertTrue(self.wait_gone(pid, 5))
        self.assertTrue(self.refused(p))

    def test_start_fails_when_port_taken(self):
        result = site_command('start', '--root', root, '--certs', pki,
                              '--port', str(port),
                              '--untrusted-port', str(free_port()),
                              '--pid-file', os.path.join(work, 'clash.pid'),
                              '--log', os.path.join(work, 'clash.log'))
        self.assertNotEqual(result.returncode, 0)


if __name__ == '__main__':
    unittest.main()
