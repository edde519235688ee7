"""A proxy for https in the test server: CONNECT opens a tunnel to the named port on 127.0.0.1
and relays bytes both ways until either side closes. /tunnel/seen lists what each CONNECT
request carried as Proxy-Authorization ("(none)" when nothing)."""

import select
import socket
import threading

import testserver

_seen = []
_lock = threading.Lock()


def _connect(req):
    with _lock:
        _seen.append(req.headers.get("Proxy-Authorization", "(none)"))
    _, _, port = req.path.rpartition(":")
    try:
        upstream = socket.create_connection(("127.0.0.1", int(port)), timeout=10)
    except (OSError, ValueError):
        req.close_connection = True
        return req.respond(502, b"no tunnel\n")
    req.send_response(200, "Connection established")
    req.end_headers()
    req.wfile.flush()
    client = req.connection
    try:
        while True:
            ready, _, _ = select.select([client, upstream], [], [], 30)
            if not ready:
                break
            for sock in ready:
                data = sock.recv(65536)
                if not data:
                    raise EOFError
                (upstream if sock is client else client).sendall(data)
    except (OSError, EOFError):
        pass
    finally:
        upstream.close()
    req.close_connection = True


def route_seen(req, rest, query):
    with _lock:
        text = "\n".join(_seen)
    req.respond(200, text.encode())


ROUTES = {"/tunnel/seen": route_seen}


def setup(server, argv):
    testserver.Handler.do_CONNECT = _connect
