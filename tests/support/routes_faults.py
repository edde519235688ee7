"""Routes for the WinHTTP layer's tests: servers that stall, break off, send garbage, frame
bodies in unusual ways, compress them, count connections and echo what arrived."""

import hashlib
import socket
import struct
import time
import zlib

import testserver


def _int(query, name, default, low=0, high=1 << 40):
    value = testserver._parse_int(query.get(name, str(default)), low, high)
    return default if value is None else value


def _head(req, code, headers):
    req.send_response(code)
    for name, value in headers:
        req.send_header(name, value)
    req.end_headers()
    req.wfile.flush()


def route_stall_head(req, rest, query):
    """Reads the request and says nothing for ms= milliseconds, then answers."""
    time.sleep(_int(query, "ms", 3000) / 1000.0)
    req.respond(200, b"late\n")


def route_stall_body(req, rest, query):
    """Sends the head and half the body, then stalls for ms= milliseconds."""
    _head(req, 200, [("Content-Length", "10")])
    req.raw(b"01234")
    time.sleep(_int(query, "ms", 3000) / 1000.0)
    req.raw(b"56789")


def route_close_mid_body(req, rest, query):
    """Announces 100 bytes, sends 10 and closes the connection."""
    _head(req, 200, [("Content-Length", "100")])
    req.raw(b"0123456789")
    req.close_connection = True


def route_close_no_answer(req, rest, query):
    """Closes the connection without a byte of answer."""
    req.close_connection = True


def route_raw(req, rest, query):
    """Writes the answer given as text= (with \\r\\n escapes) and closes."""
    req.raw(query.get("text", "").encode("latin-1").decode("unicode_escape").encode("latin-1"))
    req.close_connection = True


def route_chunked(req, rest, query):
    """Sends the pieces of sizes= (comma separated) in the chunked coding, pattern bytes."""
    sizes = [int(s) for s in query.get("sizes", "5,1,4096").split(",") if s]
    _head(req, 200, [("Transfer-Encoding", "chunked"), ("Content-Type", "application/octet-stream")])
    offset = 0
    for size in sizes:
        req.raw(b"%x\r\n" % size + testserver.pattern_bytes(size, offset) + b"\r\n")
        offset += size
    req.raw(b"0\r\nX-Trailer: yes\r\n\r\n")


def route_reset_mid_chunks(req, rest, query):
    """Sends a chunked head and one chunk, then resets the connection (no orderly close)."""
    _head(req, 200, [("Transfer-Encoding", "chunked")])
    req.raw(b"5\r\nhello\r\n")
    time.sleep(0.1)
    req.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    req.connection.close()
    req.close_connection = True


def _compress(data, coding):
    if coding == "gzip":
        c = zlib.compressobj(6, zlib.DEFLATED, 31)
    elif coding == "deflate":
        c = zlib.compressobj(6, zlib.DEFLATED, 15)
    else:  # raw deflate, which some servers send as "deflate"
        c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def route_compressed(req, rest, query):
    """Body of n= pattern bytes in the coding named by the path (gzip, deflate, rawdeflate);
    X-Seen-Accept-Encoding reports what the client asked for. chunked=1 frames it chunked."""
    coding = rest.strip("/")
    if coding not in ("gzip", "deflate", "rawdeflate"):
        return req.respond(400, b"unknown coding\n")
    body = _compress(testserver.pattern_bytes(_int(query, "n", 1000)), coding)
    if query.get("truncate") == "1":
        body = body[: len(body) // 2]
    headers = [("Content-Encoding", "deflate" if coding == "rawdeflate" else coding),
               ("X-Seen-Accept-Encoding", req.headers.get("Accept-Encoding", "(none)"))]
    if query.get("chunked") == "1":
        _head(req, 200, headers + [("Transfer-Encoding", "chunked")])
        for i in range(0, len(body), 1000):
            piece = body[i:i + 1000]
            req.raw(b"%x\r\n" % len(piece) + piece + b"\r\n")
        req.raw(b"0\r\n\r\n")
    else:
        _head(req, 200, headers + [("Content-Length", str(len(body)))])
        req.raw(body)


def route_connections(req, rest, query):
    """How many connections the server has accepted so far (this one included)."""
    req.respond(200, str(req.server.connection_count).encode())


def route_upload(req, rest, query):
    """Size, SHA-256 and framing of the request body."""
    framing = "chunked" if "chunked" in req.headers.get("Transfer-Encoding", "").lower() else \
        "length=%s" % req.headers.get("Content-Length", "none")
    text = "%d %s %s" % (len(req.body), hashlib.sha256(req.body).hexdigest(), framing)
    req.respond(200, text.encode())


def route_chain(req, rest, query):
    """/faults/chain/<n>: redirects (code=, default 302) to /faults/chain/<n-1>; 0 answers 200.
    to= overrides the last hop's target."""
    n = testserver._parse_int(rest.strip("/"), 0, 1000)
    if n is None:
        return req.respond(400, b"bad hop count\n")
    if n == 0:
        return req.respond(200, ("chain end %s %d\n" % (req.command, len(req.body))).encode())
    code = _int(query, "code", 302, 300, 399)
    target = "/faults/chain/%d" % (n - 1)
    if n == 1 and "to" in query:
        target = query["to"]
    elif "code" in query:
        target += "?code=%d" % code
    req.respond(code, ("hop %d\n" % n).encode(), headers={"Location": target})


def route_target(req, rest, query):
    """The request target exactly as it arrived on the request line."""
    req.respond(200, req.path.encode("latin-1", "replace"))


def route_interim(req, rest, query):
    """A 100 and a 102 answer before the final 200."""
    req.raw(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n")
    req.respond(200, b"final\n")


def route_close_delimited(req, rest, query):
    """A body without length or chunking, ended by closing the connection."""
    req.raw(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + testserver.pattern_bytes(3000))
    req.close_connection = True


def route_headers(req, rest, query):
    """Repeated and empty headers, for the header queries."""
    req.send_response(200)
    req.send_header("X-Multi", "one")
    req.send_header("X-Multi", "two")
    req.send_header("X-Empty", "")
    req.send_header("X-Number", "4294967295")
    req.send_header("Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT")
    req.send_header("Content-Length", "2")
    req.end_headers()
    if req.command != "HEAD":
        req.wfile.write(b"ok")


ROUTES = {
    "/faults/stall-head": route_stall_head,
    "/faults/stall-body": route_stall_body,
    "/faults/close-mid-body": route_close_mid_body,
    "/faults/close-no-answer": route_close_no_answer,
    "/faults/raw": route_raw,
    "/faults/chunked": route_chunked,
    "/faults/reset-mid-chunks": route_reset_mid_chunks,
    "/faults/compressed/": route_compressed,
    "/faults/connections": route_connections,
    "/faults/upload": route_upload,
    "/faults/chain/": route_chain,
    "/faults/target": route_target,
    "/faults/interim": route_interim,
    "/faults/close-delimited": route_close_delimited,
    "/faults/headers": route_headers,
}
