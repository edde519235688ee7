"""Routes for the WinHTTP layer's tests: servers that mean harm. Compressed bodies that never
end, end oddly or come coded in layers, heads too large to hold, answers that never stop being
interim."""

import time
import zlib

import testserver


def _int(query, name, default, low=0, high=1 << 40):
    value = testserver._parse_int(query.get(name, str(default)), low, high)
    return default if value is None else value


def _gzip(data):
    c = zlib.compressobj(6, zlib.DEFLATED, 31)
    return c.compress(data) + c.flush()


def _head(req, code, headers):
    req.send_response(code)
    for name, value in headers:
        req.send_header(name, value)
    req.end_headers()
    req.wfile.flush()


def _trickle(req, pieces, gap_ms):
    """Writes each piece after a pause; stops quietly when the client has gone."""
    try:
        for piece in pieces:
            time.sleep(gap_ms / 1000.0)
            req.raw(piece)
    except OSError:
        pass
    req.close_connection = True


def route_gzip_junk(req, rest, query):
    """A whole gzip body of n= pattern bytes, then junk= bytes of junk one at a time every
    gap= ms. The length announces one byte more than comes: the server gives up at the end."""
    body = _gzip(testserver.pattern_bytes(_int(query, "n", 1000)))
    junk = _int(query, "junk", 100, 0, 100000)
    _head(req, 200, [("Content-Encoding", "gzip"), ("Content-Length", str(len(body) + junk + 1))])
    req.raw(body)
    _trickle(req, [b"J"] * junk, _int(query, "gap", 50))


def route_gzip_empty_blocks(req, rest, query):
    """A gzip header, then empty deflate blocks every gap= ms for count= blocks: input that
    never becomes output. Close-delimited."""
    c = zlib.compressobj(6, zlib.DEFLATED, 31)
    req.raw(b"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nConnection: close\r\n\r\n" +
            c.compress(b"") + c.flush(zlib.Z_SYNC_FLUSH))
    # A stored block, not the last, of no bytes (the stream is byte-aligned after a flush).
    empty = b"\x00\x00\x00\xff\xff"
    _trickle(req, [empty] * _int(query, "count", 100), _int(query, "gap", 50))


def route_gzip_members(req, rest, query):
    """Two gzip members (n= pattern bytes each, the second continuing the pattern) in one
    Content-Length; the bytes after split= of the second member come gap= ms later."""
    n = _int(query, "n", 1000)
    first = _gzip(testserver.pattern_bytes(n))
    second = _gzip(testserver.pattern_bytes(n, n))
    split = min(_int(query, "split", 0), len(second))
    _head(req, 200, [("Content-Encoding", "gzip"),
                     ("Content-Length", str(len(first) + len(second)))])
    req.raw(first + second[:split])
    time.sleep(_int(query, "gap", 500) / 1000.0)
    req.raw(second[split:])


def route_codings(req, rest, query):
    """n= pattern bytes coded with each of codings= in turn (gzip, deflate; identity and other
    names leave the bytes as they are), stated in one Content-Encoding line, or in one line
    per coding with lines=many."""
    data = testserver.pattern_bytes(_int(query, "n", 1000))
    codings = [c for c in query.get("codings", "gzip").split(",") if c]
    for coding in codings:
        if coding == "gzip":
            data = _gzip(data)
        elif coding == "deflate":
            data = zlib.compress(data)
    if query.get("lines") == "many":
        headers = [("Content-Encoding", c) for c in codings]
    else:
        headers = [("Content-Encoding", ", ".join(codings))]
    _head(req, 200, headers + [("Content-Length", str(len(data)))])
    req.raw(data)


def route_redirect_trickle(req, rest, query):
    """A 302 to to= whose body comes one byte every gap= ms; the length announces one byte
    more than comes, so the server seems to give up at the end."""
    n = _int(query, "n", 100)
    _head(req, 302, [("Location", query.get("to", "/status/200")), ("Content-Length", str(n + 1))])
    _trickle(req, [b"r"] * n, _int(query, "gap", 50))


def route_long_header(req, rest, query):
    """One header line of n= bytes."""
    _head(req, 200, [("X-Long", "a" * _int(query, "n", 1 << 20)), ("Content-Length", "2")])
    req.raw(b"ok")


def route_many_headers(req, rest, query):
    """count= header lines of 100 bytes each."""
    lines = [("X-Many-%d" % i, "b" * 90) for i in range(_int(query, "count", 10000))]
    _head(req, 200, lines + [("Content-Length", "2")])
    req.raw(b"ok")


def route_endless_interim(req, rest, query):
    """Interim 100 answers, one after another, until the client goes (at most count=)."""
    piece = b"HTTP/1.1 100 Continue\r\nX-Filler: " + b"c" * 200 + b"\r\n\r\n"
    try:
        for _ in range(_int(query, "count", 100000)):
            req.raw(piece)
    except OSError:
        pass
    req.close_connection = True


ROUTES = {
    "/hostile/gzip-junk": route_gzip_junk,
    "/hostile/gzip-empty-blocks": route_gzip_empty_blocks,
    "/hostile/gzip-members": route_gzip_members,
    "/hostile/codings": route_codings,
    "/hostile/redirect-trickle": route_redirect_trickle,
    "/hostile/long-header": route_long_header,
    "/hostile/many-headers": route_many_headers,
    "/hostile/endless-interim": route_endless_interim,
}
