#!/usr/bin/python3
"""Local HTTPS site for the installer tests.

  test_site.py serve --root DIR --certs PKIDIR [--port 8443]
                     [--untrusted-port 8444] [--idle-timeout 900]
                     [--max-lifetime 3600] [--pid-file F] [--log F]
                     [--requests-log F]
  test_site.py start  (same options as serve; runs it in the background)
  test_site.py stop --pid-file F

Files under DIR are served over HTTPS on 127.0.0.1 only: on --port with the
certificate chain issued by the test CA (server-chain.pem/server.key from
make_pki.py), on --untrusted-port with a self-signed certificate
(untrusted.pem/untrusted.key).  Each connection carries one request and is
closed afterwards.

Every request is appended to the requests log as one JSON line:
  {"port": 8443, "method": "GET", "path": "/x?y", "user_agent": "..."}

A test can make the response for URL path P misbehave by writing a JSON
object to DIR/P.fault; see Fault below for the fields.  P does not need to
exist for its .fault file to take effect.
"""

import argparse
import http.server
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import traceback
import urllib.parse

READ_BLOCK = 1024 * 1024
# Errors that just mean the client went away or gave up on TLS.
CLIENT_GONE = (BrokenPipeError, ConnectionResetError, ConnectionAbortedError,
               ssl.SSLError, socket.timeout)
CONNECTION_TIMEOUT = 30


def log(message):
    sys.stderr.write('%s %s\n' % (time.strftime('%H:%M:%S'), message))
    sys.stderr.flush()


class Fault:
    """Settings from a P.fault sidecar file.

    status                   status code (default 200)
    location                 Location header value
    body                     normal | empty | chunked | cut | overlong |
                             no_length | slow
    chunk_size               piece size for chunked (1000) and slow (4096)
    cut_at                   bytes sent before closing in cut mode
    extra                    bytes sent beyond Content-Length in overlong (1000)
    delay_ms                 pause between pieces in slow mode (200)
    delay_ms_before_headers  pause before anything is sent (0)
    linger_ms                pause after the body, before the connection is
                             closed (0); with no_length the client's last
                             read waits that long for the end of the body
    """

    BODY_MODES = ('normal', 'empty', 'chunked', 'cut', 'overlong',
                  'no_length', 'slow')

    def __init__(self, settings=None):
        settings = settings or {}
        self.status = int(settings.get('status', 200))
        self.location = settings.get('location')
        self.body = settings.get('body', 'normal')
        if self.body not in self.BODY_MODES:
            raise ValueError('unknown body mode %r' % self.body)
        default_chunk = 4096 if self.body == 'slow' else 1000
        self.chunk_size = max(1, int(settings.get('chunk_size', default_chunk)))
        self.cut_at = int(settings.get('cut_at', 0))
        self.extra = int(settings.get('extra', 1000))
        self.delay = int(settings.get('delay_ms', 200)) / 1000.0
        self.delay_before_headers = int(
            settings.get('delay_ms_before_headers', 0)) / 1000.0
        self.linger = int(settings.get('linger_ms', 0)) / 1000.0

    @classmethod
    def load(cls, path):
        try:
            with open(path) as f:
                return cls(json.load(f))
        except FileNotFoundError:
            return None


class Content:
    """The bytes to send: a file on disk, read in blocks, or a short text."""

    def __init__(self, path=None, text=None):
        self.path = path
        self.text = text
        self.size = os.path.getsize(path) if path else len(text)

    def blocks(self, block_size, limit=None):
        """Yield the content in pieces of at most block_size bytes,
        stopping after limit bytes if given."""
        remaining = self.size if limit is None else min(limit, self.size)
        if self.path is None:
            data = self.text[:remaining]
            for i in range(0, len(data), block_size):
                yield data[i:i + block_size]
            return
        with open(self.path, 'rb') as f:
            while remaining > 0:
                data = f.read(min(block_size, remaining))
                if not data:
                    break
                remaining -= len(data)
                yield data


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def version_string(self):
        return 'TarvikTestSite/1.0'

    # How the server should end the connection after this request:
    # 'graceful' sends a TLS close_notify first, 'abort' just drops TCP.
    close_mode = 'graceful'

    def log_message(self, fmt, *args):
        log('%d %s' % (self.server.server_port, fmt % args))

    def do_GET(self):
        self.respond(send_body=True)

    def do_HEAD(self):
        self.respond(send_body=False)

    def do_POST(self):
        self.site.record(self)
        self.send_text(405, 'method not allowed\n', True)

    do_PUT = do_DELETE = do_OPTIONS = do_PATCH = do_POST

    @property
    def site(self):
        return self.server.site

    def resolve(self, url_path):
        """Map a URL path onto (file, sidecar) paths inside the root, or
        None if it points outside."""
        url_path = url_path.split('?', 1)[0].split('#', 1)[0]
        relative = urllib.parse.unquote(url_path).lstrip('/')
        if '\0' in relative:
            return None
        root = self.site.root
        joined = os.path.join(root, relative)
        target = os.path.realpath(joined)
        sidecar = os.path.realpath(joined + '.fault')
        for p in (target, sidecar):
            if not p.startswith(root + os.sep):
                return None
        return target, sidecar

    def respond(self, send_body):
        self.site.record(self)
        paths = self.resolve(self.path)
        if paths is None:
            self.send_text(403, 'forbidden\n', send_body)
            return
        target, sidecar = paths
        try:
            fault = Fault.load(sidecar)
        except (ValueError, TypeError) as e:
            self.send_text(500, 'bad fault file: %s\n' % e, send_body)
            return
        exists = os.path.isfile(target)
        if fault is None:
            if not exists:
                self.send_text(404, 'not found\n', send_body)
                return
            fault = Fault()

        if fault.delay_before_headers:
            time.sleep(fault.delay_before_headers)
        if exists:
            content = Content(path=target)
            content_type = ('application/json' if target.endswith('.json')
                            else 'application/octet-stream')
        else:
            content = Content(text=b'%d from the test site\n' % fault.status)
            content_type = 'text/plain'

        self.send_response(fault.status)
        if fault.location is not None:
            self.send_header('Location', fault.location)
        self.send_header('Connection', 'close')
        if fault.status in (204, 304):
            self.end_headers()
            return
        self.send_header('Content-Type', content_type)
        self.send_body(fault, content, send_body)

    def send_body(self, fault, content, send_body):
        mode = fault.body
        if mode == 'empty':
            self.send_header('Content-Length', '0')
            self.end_headers()
            return
        if mode == 'chunked':
            self.send_header('Transfer-Encoding', 'chunked')
        elif mode != 'no_length':
            self.send_header('Content-Length', str(content.size))
        self.end_headers()
        if not send_body:
            return

        out = self.connection
        if mode == 'chunked':
            for piece in content.blocks(fault.chunk_size):
                out.sendall(b'%x\r\n%s\r\n' % (len(piece), piece))
            out.sendall(b'0\r\n\r\n')
        elif mode == 'cut':
            for piece in content.blocks(READ_BLOCK, limit=fault.cut_at):
                out.sendall(piece)
            self.close_mode = 'abort'
        elif mode == 'overlong':
            for piece in content.blocks(READ_BLOCK):
                out.sendall(piece)
            out.sendall(b'X' * fault.extra)
        elif mode == 'slow':
            first = True
            for piece in content.blocks(fault.chunk_size):
                if not first:
                    time.sleep(fault.delay)
                first = False
                out.sendall(piece)
        else:  # normal, no_length
            for piece in content.blocks(READ_BLOCK):
                out.sendall(piece)
        if fault.linger:
            time.sleep(fault.linger)

    def send_text(self, status, text, send_body):
        body = text.encode()
        self.send_response(status)
        self.send_header('Content-Type', 'text/plain')
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Connection', 'close')
        self.end_headers()
        if send_body:
            self.connection.sendall(body)


class TlsServer(http.server.ThreadingHTTPServer):
    """Threaded HTTPS server; the TLS handshake runs in the connection's
    own thread so a stalled or failing client never blocks accept()."""

    daemon_threads = True

    def __init__(self, site, port, chain, key):
        self.site = site
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(chain, key)
        super().__init__(('127.0.0.1', port), Handler)

    def finish_request(self, request, client_address):
        self.site.begin_request()
        conn = None
        handler = None
        try:
            request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            request.settimeout(CONNECTION_TIMEOUT)
            conn = self.context.wrap_socket(request, server_side=True)
            handler = self.RequestHandlerClass(conn, client_address, self)
        except CLIENT_GONE as e:
            log('%d client gone: %s' % (self.server_port, e))
        except Exception:
            log('%d error:\n%s' % (self.server_port, traceback.format_exc()))
        finally:
            mode = handler.close_mode if handler else 'abort'
            if conn is not None:
                close_connection(conn, mode)
            self.site.end_request()

    def handle_error(self, request, client_address):
        log('%d error:\n%s' % (self.server_port, traceback.format_exc()))


def close_connection(conn, mode):
    """'graceful': send close_notify and wait briefly for the client's end,
    so the body end is unambiguous and no unread input turns the close into
    a TCP reset.  'abort': drop the TCP connection without TLS shutdown."""
    try:
        if mode == 'graceful':
            conn.settimeout(5)
            conn.unwrap().close()
        else:
            conn.shutdown(socket.SHUT_RDWR)
    except (OSError, ValueError):
        pass
    finally:
        conn.close()


class Site:
    def __init__(self, args):
        self.root = os.path.realpath(args.root)
        self.requests_log = args.requests_log or os.path.join(
            os.path.dirname(self.root), 'requests.log')
        self.log_lock = threading.Lock()
        self.activity_lock = threading.Lock()
        self.active = 0
        self.last_activity = time.monotonic()
        certs = args.certs
        self.servers = [
            TlsServer(self, args.port, os.path.join(certs, 'server-chain.pem'),
                      os.path.join(certs, 'server.key')),
            TlsServer(self, args.untrusted_port,
                      os.path.join(certs, 'untrusted.pem'),
                      os.path.join(certs, 'untrusted.key')),
        ]

    def record(self, handler):
        entry = {
            'port': handler.server.server_port,
            'method': handler.command,
            'path': handler.path,
            'user_agent': handler.headers.get('User-Agent'),
        }
        with self.log_lock, open(self.requests_log, 'a') as f:
            f.write(json.dumps(entry) + '\n')
            f.flush()

    def begin_request(self):
        with self.activity_lock:
            self.active += 1
            self.last_activity = time.monotonic()

    def end_request(self):
        with self.activity_lock:
            self.active -= 1
            self.last_activity = time.monotonic()

    def idle_for(self):
        with self.activity_lock:
            if self.active:
                return 0.0
            return time.monotonic() - self.last_activity


def write_pid_file(path):
    temp = path + '.tmp'
    with open(temp, 'w') as f:
        f.write('%d\n' % os.getpid())
    os.replace(temp, path)


def serve(args):
    site = Site(args)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    threads = [threading.Thread(target=s.serve_forever, daemon=True)
               for s in site.servers]
    for t in threads:
        t.start()
    if args.pid_file:
        write_pid_file(args.pid_file)
    log('listening on 127.0.0.1:%d (trusted) and :%d (untrusted), root %s'
        % (args.port, args.untrusted_port, site.root))

    started = time.monotonic()
    reason = 'signal'
    while not stop.wait(0.5):
        if site.idle_for() >= args.idle_timeout:
            reason = 'idle timeout'
            break
        if time.monotonic() - started >= args.max_lifetime:
            reason = 'maximum lifetime'
            break
    log('stopping: %s' % reason)
    for s in site.servers:
        s.shutdown()
        s.server_close()
    if args.pid_file:
        try:
            os.remove(args.pid_file)
        except FileNotFoundError:
            pass
    return 0


def port_open(port):
    try:
        with socket.create_connection(('127.0.0.1', port), timeout=1):
            return True
    except OSError:
        return False


def start(args):
    """Launch `serve` detached and wait until it accepts connections."""
    if not args.pid_file:
        sys.stderr.write('start needs --pid-file\n')
        return 2
    try:
        os.remove(args.pid_file)
    except FileNotFoundError:
        pass
    log_path = args.log or os.devnull
    command = [sys.executable, os.path.abspath(__file__), 'serve',
               '--root', args.root, '--certs', args.certs,
               '--port', str(args.port),
               '--untrusted-port', str(args.untrusted_port),
               '--idle-timeout', str(args.idle_timeout),
               '--max-lifetime', str(args.max_lifetime),
               '--pid-file', args.pid_file]
    if args.requests_log:
        command += ['--requests-log', args.requests_log]
    with open(log_path, 'ab') as log_file:
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                 stdout=log_file, stderr=log_file,
                                 start_new_session=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if child.poll() is not None:
            sys.stderr.write('test site exited with status %d during start'
                             ' (see %s)\n' % (child.returncode, log_path))
            return 1
        if (os.path.exists(args.pid_file) and port_open(args.port)
                and port_open(args.untrusted_port)):
            return 0
        time.sleep(0.05)
    sys.stderr.write('test site did not come up within 20 s (see %s)\n'
                     % log_path)
    child.terminate()
    return 1


def is_site_process(pid):
    """Guard against a recycled pid: only signal our own serve process."""
    try:
        with open('/proc/%d/cmdline' % pid, 'rb') as f:
            argv = f.read().split(b'\0')
    except OSError:
        return False
    return (any(a.endswith(b'test_site.py') for a in argv)
            and b'serve' in argv)


def stop(args):
    try:
        with open(args.pid_file) as f:
            pid = int(f.read().strip())
    except (FileNotFoundError, ValueError):
        return 0
    if is_site_process(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 10
        while is_site_process(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        if is_site_process(pid):
            os.kill(pid, signal.SIGKILL)
    try:
        os.remove(args.pid_file)
    except FileNotFoundError:
        pass
    return 0


def parse_args(argv):
    parser = argparse.ArgumentParser(description='HTTPS test site')
    commands = parser.add_subparsers(dest='command', required=True)
    for name in ('serve', 'start'):
        p = commands.add_parser(name)
        p.add_argument('--root', required=True)
        p.add_argument('--certs', required=True)
        p.add_argument('--port', type=int, default=8443)
        p.add_argument('--untrusted-port', type=int, default=8444)
        p.add_argument('--idle-timeout', type=float, default=900)
        p.add_argument('--max-lifetime', type=float, default=3600)
        p.add_argument('--pid-file')
        p.add_argument('--log')
        p.add_argument('--requests-log')
    p = commands.add_parser('stop')
    p.add_argument('--pid-file', required=True)
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    if args.command == 'serve':
        if args.log:
            sys.stderr = open(args.log, 'a', buffering=1)
        return serve(args)
    if args.command == 'start':
        return start(args)
    return stop(args)


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
