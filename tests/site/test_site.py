#!/usr/bin/python3
"""Local HTTPS site for the installer tests.

  test_site.py serve --root DIR --certs PKIDIR --port N --untrusted-port N
                     [--idle-timeout 900] [--pid-file F] [--log F]
  test_site.py start  (same options as serve; runs it in the background)
  test_site.py stop --pid-file F

Files under DIR are served to GET requests over HTTPS on 127.0.0.1: on
--port with the certificate chain issued by the test CA (server-chain.pem/
server.key from make_pki.py), on --untrusted-port with a self-signed
certificate (untrusted.pem/untrusted.key).  A second edge of the trusted
site listens on 127.0.0.2, same port, and serves the same files, except
that DIR/P.at-127.0.0.2 replaces P there, and DIR/P.at-127.0.0.2.fault
replaces P.fault (see below): a CDN whose edges disagree.  A
third edge listens on ::1 where the machine has IPv6.  Each connection carries one
request and is closed afterwards.  The site stops by itself after
--idle-timeout seconds without a request, so that a harness that never tore
it down leaves nothing running.

Every request is appended to DIR/../requests.log as one JSON line:
  {"path": "/x?y", "user_agent": "..."}

A test can make the response for URL path P misbehave by writing a JSON
object to DIR/P.fault; see FAULT_DEFAULTS below for the fields.  P does not
need to exist for its .fault file to take effect.
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
import types
import urllib.parse

READ_BLOCK = 1024 * 1024
# Errors that just mean the client went away or gave up on TLS.
CLIENT_GONE = (BrokenPipeError, ConnectionResetError, ConnectionAbortedError,
               ssl.SSLError, socket.timeout)
CONNECTION_TIMEOUT = 30

# The fields of a P.fault file and their values when it leaves them out.
FAULT_DEFAULTS = {
    'status': 200,        # status code
    'location': None,     # Location header value
    # normal | chunked (pieces of chunk_size) | cut (cut_at bytes, then the
    # connection is dropped without TLS close) | overlong (`extra` bytes
    # beyond Content-Length) | no_length (no Content-Length: the close ends
    # the body) | slow (pieces of chunk_size, delay_ms apart)
    'body': 'normal',
    'chunk_size': 1000,
    'cut_at': 0,
    'extra': 1000,
    'delay_ms': 200,
    # Pause after the body, before the connection is closed; with no_length
    # the client's last read waits that long for the end of the body.
    'linger_ms': 0,
    'headers': {},        # further response headers, name: value (a list: one line each)
    'content_length': None,  # a Content-Length other than the body's
    # Requests of P answered as if there were no fault, on each address,
    # before the fault takes effect (counted afresh when the file changes).
    'after': 0,
}


def log(message):
    sys.stderr.write('%s %s\n' % (time.strftime('%H:%M:%S'), message))
    sys.stderr.flush()


def load_fault(path):
    """The settings of a P.fault file, or None when there is none."""
    try:
        with open(path) as f:
            settings = json.load(f)
    except FileNotFoundError:
        return None
    unknown = set(settings) - set(FAULT_DEFAULTS)
    if unknown:
        raise ValueError('unknown fault fields %s' % sorted(unknown))
    return types.SimpleNamespace(**dict(FAULT_DEFAULTS, **settings))


def blocks(content, block_size, limit=None):
    """Yields `content` (a file's path, or bytes) in pieces of at most
    block_size bytes, stopping after `limit` bytes if given."""
    if isinstance(content, bytes):
        data = content[:limit]
        for i in range(0, len(data), block_size):
            yield data[i:i + block_size]
        return
    remaining = os.path.getsize(content) if limit is None else limit
    with open(content, 'rb') as f:
        while remaining > 0:
            data = f.read(min(block_size, remaining))
            if not data:
                break
            remaining -= len(data)
            yield data


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    # How the server should end the connection after this request:
    # 'graceful' sends a TLS close_notify first, 'abort' just drops TCP.
    close_mode = 'graceful'

    def log_message(self, fmt, *args):
        log('%d %s' % (self.server.server_port, fmt % args))

    def resolve(self, url_path):
        """Map a URL path onto (file, sidecar) paths inside the root, or
        None if it points outside."""
        url_path = url_path.split('?', 1)[0].split('#', 1)[0]
        relative = urllib.parse.unquote(url_path).lstrip('/')
        if '\0' in relative:
            return None
        root = self.server.site.root
        joined = os.path.join(root, relative)
        edge = joined + '.at-' + self.server.server_address[0]
        target = os.path.realpath(edge if os.path.isfile(edge) else joined)
        sidecar = os.path.realpath(edge + '.fault' if os.path.isfile(edge + '.fault')
                                   else joined + '.fault')
        for p in (target, sidecar):
            if not p.startswith(root + os.sep):
                return None
        return target, sidecar

    def do_GET(self):
        self.server.site.record(self)
        paths = self.resolve(self.path)
        if paths is None:
            self.send_text(403, 'forbidden\n')
            return
        target, sidecar = paths
        try:
            fault = load_fault(sidecar)
        except (ValueError, TypeError) as e:
            self.send_text(500, 'bad fault file: %s\n' % e)
            return
        if fault is not None and self.server.site.healthy(self.server.server_address[0],
                                                          sidecar, fault.after):
            fault = None
        exists = os.path.isfile(target)
        if fault is None:
            if not exists:
                self.send_text(404, 'not found\n')
                return
            fault = types.SimpleNamespace(**FAULT_DEFAULTS)

        if exists:
            content, size = target, os.path.getsize(target)
            content_type = ('application/json' if target.endswith('.json')
                            else 'application/octet-stream')
        else:
            content = b'%d from the test site\n' % fault.status
            size = len(content)
            content_type = 'text/plain'

        self.send_response(fault.status)
        if fault.location is not None:
            self.send_header('Location', fault.location)
        self.send_header('Connection', 'close')
        for name, value in fault.headers.items():
            for line in value if isinstance(value, list) else [value]:
                self.send_header(name, line)
        if fault.status == 204:
            self.end_headers()
            return
        self.send_header('Content-Type', content_type)
        self.send_body(fault, content, size)

    def send_body(self, fault, content, size):
        mode = fault.body
        if mode == 'chunked':
            self.send_header('Transfer-Encoding', 'chunked')
        elif mode != 'no_length':
            self.send_header('Content-Length', str(fault.content_length or size))
        self.end_headers()

        out = self.connection
        if mode == 'chunked':
            for piece in blocks(content, fault.chunk_size):
                out.sendall(b'%x\r\n%s\r\n' % (len(piece), piece))
            out.sendall(b'0\r\n\r\n')
        elif mode == 'cut':
            for piece in blocks(content, READ_BLOCK, limit=fault.cut_at):
                out.sendall(piece)
            self.close_mode = 'abort'
        elif mode == 'slow':
            for i, piece in enumerate(blocks(content, fault.chunk_size)):
                if i:
                    time.sleep(fault.delay_ms / 1000)
                out.sendall(piece)
        else:  # normal, no_length, overlong
            for piece in blocks(content, READ_BLOCK):
                out.sendall(piece)
            if mode == 'overlong':
                out.sendall(b'X' * fault.extra)
        time.sleep(fault.linger_ms / 1000)

    def send_text(self, status, text):
        body = text.encode()
        self.send_response(status)
        self.send_header('Content-Type', 'text/plain')
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Connection', 'close')
        self.end_headers()
        self.connection.sendall(body)


class TlsServer(http.server.ThreadingHTTPServer):
    """Threaded HTTPS server; the TLS handshake runs in the connection's
    own thread so a stalled or failing client never blocks accept()."""

    daemon_threads = True

    def __init__(self, site, port, chain, key, address='127.0.0.1'):
        self.site = site
        self.address_family = socket.AF_INET6 if ':' in address else socket.AF_INET
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(chain, key)
        super().__init__((address, port), Handler)

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
        self.requests_log = os.path.join(os.path.dirname(self.root), 'requests.log')
        self.log_lock = threading.Lock()
        self.served = {}   # requests answered before a fault's `after` ran out
        self.activity_lock = threading.Lock()
        self.active = 0
        self.last_activity = time.monotonic()
        certs = args.certs
        self.servers = [
            TlsServer(self, args.port, os.path.join(certs, 'server-chain.pem'),
                      os.path.join(certs, 'server.key')),
            TlsServer(self, args.port, os.path.join(certs, 'server-chain.pem'),
                      os.path.join(certs, 'server.key'), '127.0.0.2'),
            TlsServer(self, args.untrusted_port,
                      os.path.join(certs, 'untrusted.pem'),
                      os.path.join(certs, 'untrusted.key')),
        ]
        try:
            self.servers.append(TlsServer(self, args.port, os.path.join(certs, 'server-chain.pem'),
                                          os.path.join(certs, 'server.key'), '::1'))
        except OSError as e:
            log('no edge on ::1: %s' % e)

    def healthy(self, address, sidecar, after):
        """Whether this request of `sidecar`'s path on `address` is one of
        the first `after` since the file was written."""
        key = (address, sidecar, os.stat(sidecar).st_mtime_ns)
        with self.log_lock:
            self.served[key] = self.served.get(key, 0) + 1
            return self.served[key] <= after

    def record(self, handler):
        entry = {'path': handler.path, 'user_agent': handler.headers.get('User-Agent')}
        with self.log_lock, open(self.requests_log, 'a') as f:
            f.write(json.dumps(entry) + '\n')

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


def serve(args):
    site = Site(args)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    for s in site.servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    if args.pid_file:
        with open(args.pid_file + '.tmp', 'w') as f:
            f.write('%d\n' % os.getpid())
        os.replace(args.pid_file + '.tmp', args.pid_file)
    log('listening on 127.0.0.1:%d, 127.0.0.2:%d%s (trusted) and 127.0.0.1:%d (untrusted), '
        'root %s' % (args.port, args.port, ' and [::1]:%d' % args.port
                     if len(site.servers) > 3 else '', args.untrusted_port, site.root))

    while not stop.wait(0.5):
        if site.idle_for() >= args.idle_timeout:
            log('stopping: idle timeout')
            break
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
               '--pid-file', args.pid_file]
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
        p.add_argument('--port', type=int, required=True)
        p.add_argument('--untrusted-port', type=int, required=True)
        p.add_argument('--idle-timeout', type=float, default=900)
        p.add_argument('--pid-file')
        p.add_argument('--log')
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
