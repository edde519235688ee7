#!/usr/bin/env python3
"""Starts test servers for test programs that cannot start them themselves.

A Windows test program running under Wine cannot spawn the Linux python3 that runs
testserver.py. It connects to this launcher instead (on 127.0.0.1, the port in the
OSTREL_TEST_SERVER_LAUNCHER variable), sends the server's arguments one per line and an empty
line, and the launcher starts testserver.py with that connection as its stdin and stdout. From
then on the program talks to the server exactly as a Linux test talks to its child through
pipes: the first line it reads is "PORT <n>", and closing the connection ends the server.

Arguments that are Windows paths ("C:\\...", "Z:/...") are turned into the Linux paths Wine
maps them to, through the drive links of $WINEPREFIX/dosdevices.

The launcher prints "PORT <n>" for its own port, then serves until its stdin reaches end of
file or it is killed; servers it started end with their connections.
"""

import os
import re
import socket
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVE_PATH = re.compile(r"^([A-Za-z]):[\\/](.*)$", re.S)


def linux_path(arg):
    match = DRIVE_PATH.match(arg)
    prefix = os.environ.get("WINEPREFIX")
    if not match or not prefix:
        return arg
    drive = os.path.join(prefix, "dosdevices", match.group(1).lower() + ":")
    rest = match.group(2).replace("\\", "/")
    return os.path.join(os.path.realpath(drive), rest)


def read_arguments(conn):
    data = b""
    while not data.endswith(b"\n\n") and data != b"\n":
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    lines = data.decode("utf-8").split("\n")[:-2] if data != b"\n" else []
    return [linux_path(line) for line in lines]


def serve_one(conn):
    try:
        args = read_arguments(conn)
        if args is None:
            return
        # The server gets the connection as stdin and stdout; this process keeps no copy, so
        # the program's closing of the connection is the server's end of input.
        child = subprocess.Popen(
            [sys.executable, "-u", os.path.join(HERE, "testserver.py")] + args,
            stdin=conn.fileno(), stdout=conn.fileno(), close_fds=True)
    except (OSError, UnicodeDecodeError) as error:
        sys.stderr.write("testserver_launcher: %s\n" % error)
        return
    finally:
        conn.close()
    child.wait()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    sys.stdout.write("PORT %d\n" % listener.getsockname()[1])
    sys.stdout.flush()

    def accept_loop():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve_one, args=(conn,), daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    try:
        while sys.stdin.buffer.read(4096):
            pass
    except (OSError, KeyboardInterrupt):
        pass


if __name__ == "__main__":
    main()
