"""Routes for the WinHTTP layer's cookie tests: a server that sets the cookies it is asked to
and says which ones came with the request."""


def route_cookies(req, rest, query):
    """Any path under /cookies/: one Set-Cookie line per set= value, a 302 to to= when given;
    the body is the Cookie lines that arrived, one per line, as "Cookie: ..."."""
    headers = [("Set-Cookie", value) for value in req.query_all.get("set", [])]
    body = "".join("Cookie: %s\n" % value for value in req.headers.get_all("Cookie") or [])
    target = query.get("to")
    req.send_response(302 if target else 200)
    for name, value in headers + ([("Location", target)] if target else []):
        req.send_header(name, value)
    data = body.encode("utf-8", "replace")
    req.send_header("Content-Type", "text/plain")
    req.send_header("Content-Length", str(len(data)))
    req.end_headers()
    if req.command != "HEAD":
        req.wfile.write(data)


ROUTES = {
    "/cookies/": route_cookies,
}
