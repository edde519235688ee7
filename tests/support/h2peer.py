#!/usr/bin/env python3
"""An HTTP/2 server on TLS that misbehaves on request, for the tests (needs Python's h2).

Started by a test on 127.0.0.1 with port 0: h2peer.py --tls CERT KEY. The first line on
stdout is "PORT <n>"; it serves until its stdin reaches end of file. Every connection speaks
HTTP/2 (offered by ALPN as the only protocol), one thread per connection. Each request is
answered by the route its path starts with:

  /ok/<n>                 200 with <n> bytes of pattern_bytes()
  /reset-mid-body         200 announcing 100000 bytes; after 1000 of them, RST_STREAM
  /goaway?after=<ms>      200 with a small body, then, <ms> later (default 0), GOAWAY: the
                          connection takes no more requests (a request that crossed the
                          GOAWAY is ignored) and is closed half a second later
  /huge-head?kb=<n>       200 whose header block holds <n> KiB of headers
  /overlong               200 with content-length 10 and 20 bytes of body
  /connections            200 with the number of connections accepted so far as its body
"""

import argparse
import os
import socket
import ssl
import sys
import threading
import time
from urllib.parse import parse_qs, urlsplit

import h2.config
import h2.connection
import h2.errors
import h2.events
import h2.exceptions

_CYCLE = bytes(range(251))


def pattern_bytes(n, offset=0):
    """As testserver.py's: byte i is i mod 251."""
    start = offset % 251
    return (_CYCLE * ((start + n) // 251 + 1))[start:start + n]


class Peer:
    """One connection: the h2 state machine and the socket it writes to."""

    def __init__(self, server, sock):
        self.server = server
        self.sock = sock
        self.conn = h2.connection.H2Connection(config=h2.config.H2Configuration(
            client_side=False, header_encoding="utf-8", validate_outbound_headers=False,
            normalize_outbound_headers=False))
        self.closing = False
        self.gone_away = False  # GOAWAY sent: frames for new streams are ignored

    def flush(self):
        data = self.conn.data_to_send()
        if data:
            self.sock.sendall(data)

    def headers(self, stream_id, status, extra=(), end=False):
        self.conn.send_headers(stream_id, [(":status", str(status))] + list(extra),
                               end_stream=end)
        self.flush()

    def data(self, stream_id, body, end=True):
        """Sends body within the frame size (the tests' bodies fit the first window)."""
        size = self.conn.max_outbound_frame_size
        for at in range(0, len(body), size):
            self.conn.send_data(stream_id, body[at:at + size], end_stream=False)
        if end:
            self.conn.end_stream(stream_id)
        self.flush()

    def respond(self, stream_id, body, extra=()):
        self.headers(stream_id, 200, [("content-length", str(len(body)))] + list(extra),
                     end=not body)
        if body:
            self.data(stream_id, body)

    def serve(self):
        self.conn.initiate_connection()
        self.flush()
        while not self.closing:
            try:
                data = self.sock.recv(65536)
            except OSError:
                break
            if not data:
                break
            try:
                events = self.conn.receive_data(data)
            except h2.exceptions.ProtocolError:
                if self.gone_away:
                    continue  # as a server does with streams begun after its GOAWAY
                self.flush()
                break
            for event in events:
                if isinstance(event, h2.events.RequestReceived):
                    self.request(event.stream_id, dict(event.headers))
                elif isinstance(event, h2.events.ConnectionTerminated):
                    self.closing = True
            self.flush()

    def request(self, stream_id, headers):
        parts = urlsplit(headers.get(":path", "/"))
        query = {k: v[0] for k, v in parse_qs(parts.query).items()}
        path = parts.path
        if path.startswith("/ok/"):
            self.respond(stream_id, pattern_bytes(int(path[4:])))
        elif path == "/reset-mid-body":
            self.headers(stream_id, 200, [("content-length", "100000")])
            self.data(stream_id, pattern_bytes(1000), end=False)
            time.sleep(0.05)  # the client has the first bytes before the stream goes
            self.conn.reset_stream(stream_id, error_code=h2.errors.ErrorCodes.INTERNAL_ERROR)
        elif path == "/goaway":
            self.respond(stream_id, b"bye\n")
            time.sleep(int(query.get("after", "0")) / 1000.0)
            self.conn.close_connection(last_stream_id=stream_id)
            self.gone_away = True
            self.flush()
            # The client sees the GOAWAY before the connection goes away under it.
            threading.Timer(0.5, self.shut).start()
        elif path == "/huge-head":
            kb = int(query.get("kb", "300"))
            # Values that compress badly, so the block is as large on the wire as it says.
            extra = [("x-filler-%d" % i, os.urandom(500).hex()) for i in range(kb)]
            self.respond(stream_id, b"head\n", extra)
        elif path == "/overlong":
            self.headers(stream_id, 200, [("content-length", "10")])
            self.data(stream_id, pattern_bytes(10), end=False)
            self.data(stream_id, pattern_bytes(10, 10))
        elif path == "/connections":
            self.respond(stream_id, ("%d\n" % self.server.connections).encode())
        else:
            self.headers(stream_id, 404, [("content-length", "0")], end=True)

    def shut(self):
        self.closing = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Server:
    def __init__(self, host, port, context):
        self.listener = socket.create_server((host, port))
        self.context = context
        self.connections = 0
        self.lock = threading.Lock()

    def accept_forever(self):
        while True:
            try:
                raw, _ = self.listener.accept()
            except OSError:
                return
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.connections += 1
            threading.Thread(target=self.handle, args=(raw,), daemon=True).start()

    def handle(self, raw):
        try:
            sock = self.context.wrap_socket(raw, server_side=True)
        except (ssl.SSLError, OSError):
            raw.close()
            return
        try:
            Peer(self, sock).serve()
        except OSError:
            pass
        finally:
            sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), required=True)
    args = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.tls[0], args.tls[1])
    context.set_alpn_protocols(["h2"])
    server = Server(args.host, args.port, context)
    threading.Thread(target=server.accept_forever, daemon=True).start()
    sys.stdout.write("PORT %d\n" % server.listener.getsockname()[1])
    sys.stdout.flush()
    try:
        while sys.stdin.buffer.read(4096):
            pass
    except (OSError, KeyboardInterrupt):
        pass
    server.listener.close()


if __name__ == "__main__":
    main()
