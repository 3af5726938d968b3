#!/usr/bin/env python3
"""Client for the sync program's command protocol, speaking like the page's Flash front end.

Messages are 8-bit text "code;session[;param...]" ended by a NUL byte. The command port first
answers a policy request ("<policy-file-request/>" and NUL) with the policy text; the policy
port answers it and closes.

Library use:
    with FlashClient(port=50010) as c:
        c.policy()
        c.send(CMD_PING, 7, "127.0.0.1")
        for m in c.until_removed(7): print(m)

Command line (prints every reply with its code name):
    flashclient.py [--host H] [--port P] [--timeout S] policy
    flashclient.py ... ping HOST [--session N]
    flashclient.py ... send CODE SESSION [PARAM...]     one command, its replies
    flashclient.py ... cancel SESSION
    flashclient.py ... close [--session N]
"""
import argparse
import socket
import sys
import time

HOST = "127.0.0.1"
POLICY_PORT = 50009
COMMAND_PORT = 50010
POLICY_REQUEST = b"<policy-file-request/>\0"
POLICY_TEXT = (b'<?xml version="1.0"?><cross-domain-policy><allow-access-from domain="*" '
               b'to-ports="50000-50010"/></cross-domain-policy>\n\0')

CODES = {
    1: "ERR_OK", 2: "ERR_FAILED", 3: "ERR_UNKNOWNCMD", 4: "ERR_MALFORMED",
    5: "ERR_PARAMCOUNT", 6: "ERR_BUSY", 7: "ERR_SESSIONEXISTS", 8: "ERR_NOSESSION",
    9: "ERR_ELEVATING",
    100: "STATUS_STOPPED", 101: "STATUS_PROGRESS", 102: "STATUS_FINISHED",
    103: "STATUS_PINGRESULT", 200: "STATUS_SESSIONREMOVED",
    1000: "CMD_DOWNLOAD", 1001: "CMD_RUN_IVL", 1002: "CMD_PING", 1003: "CMD_DOWNLOADNAMED",
    1004: "CMD_VERIFY", 2000: "CMD_CANCEL", 2001: "CMD_CLOSE",
}
globals().update({name: code for code, name in CODES.items()})


def encode(code, session, *params):
    """Wire bytes of a message: fields joined with ';' and a NUL."""
    fields = [str(code), str(session)] + [str(p) for p in params]
    return ";".join(fields).encode("latin-1") + b"\0"


class Message:
    """A received message; params are text (latin-1, so bytes pass through unchanged)."""

    def __init__(self, raw):
        self.raw = raw
        text = raw.rstrip(b"\0").decode("latin-1")
        parts = text.split(";")
        # Ends in ';' give no empty last parameter, like the program's own splitting.
        if parts and parts[-1] == "":
            parts.pop()
        try:
            self.code, self.session = int(parts[0]), int(parts[1])
        except (IndexError, ValueError):
            self.code, self.session = 0, 0
        self.params = parts[2:]

    @property
    def name(self):
        return CODES.get(self.code, str(self.code))

    def tuple(self):
        return (self.code, self.session, *self.params)

    def __repr__(self):
        return "%s(%d) session %d %r" % (self.name, self.code, self.session, self.params)


class FlashClient:
    def __init__(self, host=HOST, port=COMMAND_PORT, timeout=10.0, connect_timeout=5.0):
        self.timeout = timeout
        self.sock = socket.create_connection((host, port), timeout=connect_timeout)
        self.sock.settimeout(timeout)
        self.buffer = b""
        self.closed = False  # peer closed the connection

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, code, session, *params):
        self.send_raw(encode(code, session, *params))

    def _fill(self, timeout):
        self.sock.settimeout(timeout)
        data = self.sock.recv(4096)
        if not data:
            self.closed = True
            raise ConnectionError("connection closed by the sync program")
        self.buffer += data

    def read_raw(self, timeout=None):
        """Bytes up to and including the next NUL."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout("no complete message within the time-out")
            self._fill(left)
        end = self.buffer.index(b"\0") + 1
        raw, self.buffer = self.buffer[:end], self.buffer[end:]
        return raw

    def read(self, timeout=None):
        return Message(self.read_raw(timeout))

    def read_until_closed(self, timeout=None):
        """Everything the peer sends until it closes the connection."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while not self.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                raise socket.timeout("connection not closed within the time-out")
            try:
                self._fill(left)
            except ConnectionError:
                break
        data, self.buffer = self.buffer, b""
        return data

    def expect_silence(self, seconds):
        """True when nothing arrives for that long (and the connection stays open)."""
        try:
            self._fill(seconds)
        except socket.timeout:
            return True
        except ConnectionError:
            return False
        return not self.buffer

    def policy(self):
        """Sends the policy request and returns the answer (up to its NUL)."""
        self.send_raw(POLICY_REQUEST)
        return self.read_raw()

    def until_removed(self, session, timeout=None):
        """Messages of one session up to and including its STATUS_SESSIONREMOVED."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        messages = []
        while True:
            left = max(deadline - time.monotonic(), 0.01)
            m = self.read(left)
            if m.session != session:
                continue
            messages.append(m)
            if m.code == STATUS_SESSIONREMOVED:
                return messages

    def command(self, code, session, *params):
        """Sends a command and returns its immediate reply."""
        self.send(code, session, *params)
        return self.read()

    def run(self, code, session, *params, timeout=None):
        """Sends a command that starts a session and returns all its messages: the immediate
        reply alone when it is a failure, else everything up to STATUS_SESSIONREMOVED. A
        session's first report may come before its ERR_OK."""
        self.send(code, session, *params)
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        messages = []
        started = False
        while True:
            wait = max(deadline - time.monotonic(), 0.01)
            if messages and not started and messages[-1].code not in (ERR_OK,) and messages[-1].code < 100:
                # A failure before any ERR_OK is the command's own reply, unless the session's
                # end reply overtook its ERR_OK: then more follows at once.
                wait = min(wait, 0.5)
            try:
                m = self.read(wait)
            except socket.timeout:
                if messages and not started:
                    return messages
                raise
            if m.session != session:
                continue
            messages.append(m)
            started = started or m.code == ERR_OK
            if m.code == STATUS_SESSIONREMOVED:
                return messages


def policy_answer(host=HOST, port=POLICY_PORT, request=POLICY_REQUEST, timeout=15.0):
    """What the policy port sends for a request, until it closes the connection."""
    with FlashClient(host, port, timeout) as c:
        if request:
            c.send_raw(request)
        return c.read_until_closed()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default=HOST)
    ap.add_argument("--port", type=int, default=COMMAND_PORT)
    ap.add_argument("--timeout", type=float, default=15.0)
    sub = ap.add_subparsers(dest="what", required=True)
    sub.add_parser("policy")
    p = sub.add_parser("ping")
    p.add_argument("hostname")
    p.add_argument("--session", type=int, default=1)
    p = sub.add_parser("send")
    p.add_argument("code", type=int)
    p.add_argument("session", type=int)
    p.add_argument("params", nargs="*")
    p = sub.add_parser("cancel")
    p.add_argument("session", type=int)
    p = sub.add_parser("close")
    p.add_argument("--session", type=int, default=1)
    a = ap.parse_args(argv)

    def show(answer):
        print("%d bytes: %s" % (len(answer), answer.decode("latin-1").replace("\n", "\\n").replace("\0", "\\0")))
        return 0 if answer == POLICY_TEXT else 1

    if a.what == "policy" and a.port == POLICY_PORT:
        return show(policy_answer(a.host, a.port, timeout=a.timeout))
    with FlashClient(a.host, a.port, a.timeout) as c:
        if a.what == "policy":
            rc = show(c.policy())
            # the command port keeps the connection: a command on it is answered
            print(c.command(CMD_CANCEL, 1))
            return rc
        if a.what in ("ping", "send"):
            if a.what == "ping":
                code, session, params = CMD_PING, a.session, [a.hostname]
            else:
                code, session, params = a.code, a.session, a.params
            if code in (CMD_DOWNLOAD, CMD_RUN_IVL, CMD_PING, CMD_DOWNLOADNAMED, CMD_VERIFY):
                messages = c.run(code, session, *params)
            else:
                messages = [c.command(code, session, *params)]
            for m in messages:
                print(m)
            return 0 if messages[-1].code in (ERR_OK, STATUS_SESSIONREMOVED) else 1
        if a.what == "cancel":
            c.send(CMD_CANCEL, a.session)
            try:
                print(c.read(2.0))
            except socket.timeout:
                print("(no reply)")
            return 0
        if a.what == "close":
            print(c.command(CMD_CLOSE, a.session))
            return 0
    return 2


if __name__ == "__main__":
    sys.exit(main())
