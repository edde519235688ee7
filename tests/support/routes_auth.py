"""Routes for the WinHTTP layer's authentication tests: challenges as asked, and servers (or a
proxy) that want Basic, Digest or NTLM credentials. Each answers 200 with "<scheme> user <name>"
once the credentials are right, otherwise 401 (407 for the proxy) with its challenge."""

import base64
import hashlib
import struct

REALM = "ostrel"
NONCE = "4f7374726e6f6e6365"


def _answer(req, code, body, challenges, header="WWW-Authenticate"):
    req.send_response(code)
    for value in challenges:
        req.send_header(header, value)
    data = body.encode()
    req.send_header("Content-Type", "text/plain")
    req.send_header("Content-Length", str(len(data)))
    req.end_headers()
    if req.command != "HEAD":
        req.wfile.write(data)


def route_offer(req, rest, query):
    """401 with one WWW-Authenticate line per h= value (407 and Proxy-Authenticate with
    proxy=1); status= another status instead."""
    proxy = query.get("proxy") == "1"
    code = int(query.get("status", "407" if proxy else "401"))
    _answer(req, code, "challenge\n", req.query_all.get("h", []),
            "Proxy-Authenticate" if proxy else "WWW-Authenticate")


def _basic_ok(value, query):
    expected = "%s:%s" % (query.get("user", "user"), query.get("pass", "pass"))
    return value == "Basic " + base64.b64encode(expected.encode()).decode()


def route_basic(req, rest, query):
    """Basic for user= and pass= (default user, pass)."""
    if _basic_ok(req.headers.get("Authorization", ""), query):
        return _answer(req, 200, "basic user %s\n" % query.get("user", "user"), [])
    _answer(req, 401, "denied\n", ['Basic realm="%s"' % REALM])


def route_proxy_basic(req, rest, query):
    """Basic for a proxy: Proxy-Authorization for user= and pass=, else 407."""
    if _basic_ok(req.headers.get("Proxy-Authorization", ""), query):
        return _answer(req, 200, "proxy user %s\n" % query.get("user", "user"), [])
    _answer(req, 407, "proxy denied\n", ['Basic realm="%s"' % REALM], "Proxy-Authenticate")


def _digest_params(value):
    params = {}
    for piece in value[len("Digest "):].split(","):
        name, _, text = piece.strip().partition("=")
        params[name.strip().lower()] = text.strip().strip('"')
    return params


def _md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def route_digest(req, rest, query):
    """Digest (MD5, qop auth) for user= and pass=; checks the response value."""
    value = req.headers.get("Authorization", "")
    user, password = query.get("user", "user"), query.get("pass", "pass")
    if value.startswith("Digest "):
        p = _digest_params(value)
        ha1 = _md5("%s:%s:%s" % (user, REALM, password))
        ha2 = _md5("%s:%s" % (req.command, p.get("uri", "")))
        expected = _md5("%s:%s:%s:%s:%s:%s" % (ha1, NONCE, p.get("nc", ""), p.get("cnonce", ""),
                                               p.get("qop", ""), ha2))
        if p.get("username") == user and p.get("nonce") == NONCE and \
                p.get("response") == expected and p.get("uri") == req.path:
            return _answer(req, 200, "digest user %s\n" % user, [])
    _answer(req, 401, "denied\n",
            ['Digest realm="%s", qop="auth", nonce="%s", algorithm=MD5' % (REALM, NONCE)])


def _ntlm_field(message, offset):
    length, _, start = struct.unpack_from("<HHI", message, offset)
    return message[start:start + length]


def route_ntlm(req, rest, query):
    """The NTLM handshake on one connection: a type 1 message gets a type 2 challenge, a type 3
    message the user name it carries (its response is not checked)."""
    value = req.headers.get("Authorization", "")
    message = b""
    if value.startswith("NTLM "):
        try:
            message = base64.b64decode(value[5:])
        except ValueError:
            message = b""
    kind = struct.unpack_from("<I", message, 8)[0] if message[:8] == b"NTLMSSP\0" else 0
    if kind == 1:
        flags = 0x00000001 | 0x00000200  # Unicode, NTLM
        challenge = b"NTLMSSP\0" + struct.pack("<I", 2) + struct.pack("<HHI", 0, 0, 48) + \
            struct.pack("<I", flags) + b"\x01\x23\x45\x67\x89\xab\xcd\xef" + b"\0" * 8 + \
            struct.pack("<HHI", 0, 0, 48)
        return _answer(req, 401, "continue\n", ["NTLM " + base64.b64encode(challenge).decode()])
    if kind == 3 and len(message) >= 44:
        user = _ntlm_field(message, 36).decode("utf-16-le", "replace")
        return _answer(req, 200, "ntlm user %s\n" % user, [])
    req.close_connection = False
    _answer(req, 401, "denied\n", ["NTLM"])


ROUTES = {
    "/auth/offer": route_offer,
    "/auth/basic": route_basic,
    "/auth/proxy-basic": route_proxy_basic,
    "/auth/digest": route_digest,
    "/auth/ntlm": route_ntlm,
}
