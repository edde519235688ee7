#!/usr/bin/env python3
"""Local HTTP/1.1 server for the tests.

Started by a test on 127.0.0.1 with port 0; the first line on stdout is "PORT <n>". It serves
until it is killed or its stdin reaches end of file, so it never outlives a crashed test.

Routes are looked up by the longest matching path prefix. Built-in routes:

  /status/<code>               answers <code> (body "status <code>\\n" where a body is allowed)
  /delay/<ms>                  waits <ms> milliseconds, then answers 200
  /bytes/<n>                   answers 200 with <n> bytes of pattern_bytes()
  /redirect?to=URL&code=C      answers C (default 302) with Location: URL
  /redirect-no-location/<code> answers <code> without a Location header
  /echo                        answers 200 with the request line, headers and body as text

Extending: every routes_*.py module beside this file (and in each --routes-dir) is imported
and its ROUTES dict (path prefix -> handler) merged in; a module may also define
setup(server, argv), called once before serving (unknown options are left for it in argv).
server.connection_count counts accepted connections. A handler is called as handler(req, rest, query):
  req    the Handler below (a BaseHTTPRequestHandler); use req.respond(...) for ordinary
         answers, or req.wfile.write(...) / req.raw(...) to put any bytes on the socket, and
         set req.close_connection = True when the connection must not be reused
  rest   the path after the matched prefix, without the query ("" or "/..." or "...")
  query  dict of query parameters, first value of each (req.query_all holds every value)
The request body, if any, is read before the handler runs and is in req.body.
"""

import argparse
import glob
import importlib.util
import os
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

HERE = os.path.dirname(os.path.abspath(__file__))


_CYCLE = bytes(range(251))


def pattern_bytes(n, offset=0):
    """Deterministic body bytes: byte i is i mod 251 (a prime, so block-aligned slips show)."""
    start = offset % 251
    return (_CYCLE * ((start + n) // 251 + 1))[start:start + n]


def _no_body_status(code):
    return code < 200 or code in (204, 304)


def route_status(req, rest, query):
    code = _parse_int(rest.strip("/"), 100, 999)
    if code is None:
        return req.respond(400, b"bad status code\n")
    req.respond(code, None if _no_body_status(code) else ("status %d\n" % code).encode())


def route_delay(req, rest, query):
    ms = _parse_int(rest.strip("/"), 0, 3600 * 1000)
    if ms is None:
        return req.respond(400, b"bad delay\n")
    time.sleep(ms / 1000.0)
    req.respond(200, ("delayed %d\n" % ms).encode())


def route_bytes(req, rest, query):
    n = _parse_int(rest.strip("/"), 0, 1 << 40)
    if n is None:
        return req.respond(400, b"bad size\n")
    req.send_response(200)
    req.send_header("Content-Type", "application/octet-stream")
    req.send_header("Content-Length", str(n))
    req.end_headers()
    if req.command == "HEAD":
        return
    block = 1 << 16
    sent = 0
    while sent < n:
        size = min(block, n - sent)
        req.wfile.write(pattern_bytes(size, sent))
        sent += size


def route_redirect(req, rest, query):
    code = _parse_int(query.get("code", "302"), 300, 399)
    target = query.get("to")
    if code is None or target is None:
        return req.respond(400, b"redirect needs to= and a 3xx code=\n")
    req.respond(code, ("redirect to %s\n" % target).encode(), headers={"Location": target})


def route_redirect_no_location(req, rest, query):
    code = _parse_int(rest.strip("/"), 300, 399)
    if code is None:
        return req.respond(400, b"bad redirect code\n")
    req.respond(code, None if code == 304 else ("redirect %d without location\n" % code).encode())


def route_echo(req, rest, query):
    lines = ["%s %s %s" % (req.command, req.path, req.request_version)]
    lines += ["%s: %s" % (name, value) for name, value in req.headers.items()]
    text = "\n".join(lines).encode("utf-8", "replace") + b"\n\n" + req.body
    req.respond(200, text)


ROUTES = {
    "/status/": route_status,
    "/delay/": route_delay,
    "/bytes/": route_bytes,
    "/redirect-no-location/": route_redirect_no_location,
    "/redirect": route_redirect,
    "/echo": route_echo,
}


def _parse_int(text, low, high):
    try:
        value = int(text, 10)
    except (TypeError, ValueError):
        return None
    return value if low <= value <= high else None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OstrelTestServer/1.0"

    def version_string(self):
        return self.server_version

    def setup(self):
        super().setup()
        try:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("testserver: %s\n" % (fmt % args))

    def respond(self, code, body=b"", content_type="text/plain", headers=None):
        """Sends a complete answer with Content-Length; body None sends no length and no body."""
        self.send_response(code)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if body is not None:
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body)

    def raw(self, data):
        """Writes bytes to the socket as they are, bypassing any HTTP framing."""
        self.wfile.write(data)
        self.wfile.flush()

    def _read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length", "0") or "0")
        return self.rfile.read(length) if length > 0 else b""

    def _dispatch(self):
        parts = urlsplit(self.path)
        self.path_only = parts.path
        self.query_all = parse_qs(parts.query, keep_blank_values=True)
        self.query = {k: v[0] for k, v in self.query_all.items()}
        try:
            self.body = self._read_body()
        except ValueError:
            self.close_connection = True
            return self.respond(400, b"bad request body\n")
        prefix = self.server.match(self.path_only)
        if prefix is None:
            return self.respond(404, ("no route for %s\n" % self.path_only).encode())
        self.server.routes[prefix](self, self.path_only[len(prefix):], self.query)

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _dispatch


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # Tests open dozens of connections at once; with the default backlog of 5 a loaded
    # machine drops their handshakes, and a connect waits a second for its retry.
    request_queue_size = 128

    def __init__(self, address, routes, tls_context=None, verbose=False):
        super().__init__(address, Handler)
        self.routes = routes
        self.tls_context = tls_context
        self.verbose = verbose
        self._count_lock = threading.Lock()
        self.connection_count = 0

    def match(self, path):
        best = None
        for prefix in self.routes:
            if path.startswith(prefix) and (best is None or len(prefix) > len(best)):
                best = prefix
        return best

    def process_request(self, request, client_address):
        with self._count_lock:
            self.connection_count += 1
        super().process_request(request, client_address)

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the connection's own thread, so a client that stalls in
        # it cannot block accepting others.
        if self.tls_context is not None:
            try:
                request = self.tls_context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                request.close()
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


def load_route_modules(routes, folders):
    modules = []
    for path in [p for f in folders for p in sorted(glob.glob(os.path.join(f, "routes_*.py")))]:
        name = os.path.splitext(os.path.basename(path))[0]
        found = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(found)
        sys.modules[name] = module
        found.loader.exec_module(module)
        routes.update(getattr(module, "ROUTES", {}))
        modules.append(module)
    return modules


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve https")
    parser.add_argument("--verbose", action="store_true", help="log requests to stderr")
    parser.add_argument("--routes-dir", action="append", default=[],
                        help="also load routes_*.py from this folder")
    parser.add_argument("--forever", action="store_true", help="ignore stdin; serve until killed")
    args, _ = parser.parse_known_args()  # route modules may take options of their own

    routes = dict(ROUTES)
    modules = load_route_modules(routes, [HERE] + args.routes_dir)

    tls_context = None
    if args.tls:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        try:
            tls_context.load_cert_chain(args.tls[0], args.tls[1])
        except (OSError, ssl.SSLError) as error:
            sys.exit("testserver: cannot load %s / %s: %s" % (args.tls[0], args.tls[1], error))

    server = Server((args.host, args.port), routes, tls_context, args.verbose)
    server.args = args
    for module in modules:
        if hasattr(module, "setup"):
            module.setup(server, sys.argv[1:])

    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()

    # End of stdin means the test that started us is gone.
    try:
        if args.forever:
            thread.join()
        while sys.stdin.buffer.read(4096):
            pass
    except (OSError, KeyboardInterrupt):
        pass
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    # The module is also imported by route modules as "testserver"; share one copy.
    sys.modules.setdefault("testserver", sys.modules[__name__])
    main()
