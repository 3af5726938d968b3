#!/usr/bin/env python3
"""End to end: the real ivlsync.exe under Wine, spoken to on its policy port (50009) and its
command port (50010) through tools/flashclient.py, like the page's Flash front end does.

    e2e_protocol.py --build BUILD [--exe PATH] [unittest arguments]
"""
import argparse
import contextlib
import fcntl
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tools"))
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
import flashclient as fc  # noqa: E402
from winetest import host_pids, in_prefix, wait_for, wine_command  # noqa: E402

BUILD = None
EXE = None
HOST = "127.0.0.1"
POLICY_PORT, COMMAND_PORT = fc.POLICY_PORT, fc.COMMAND_PORT

PING_USAGE = "CMD_PING expects 1 parameter (hostname)"
VERIFY_USAGE = "CMD_VERIFY expects 2 parameter (distribution, installed_version)"
RUN_USAGE = ("CMD_RUN_IVL expects at least 6 parameters (web_entrance, distribution, installed_version, "
             "mission id, player session id, language [, name=value]*)")
NAMED_USAGE = ("CMD_DOWNLOADNAMED expects 7+ parameters (distribution, installed_version, unique filename, "
               "list-of-names, web_entrance, quick check, fileserver1 [fileserver2,])")
EMPTY_FILESERVER = "CMD_DOWNLOADNAMED: invalid parameter for fileserver (empty string)"


def listener_inode(port):
    """Inode of the socket listening on 127.0.0.1:port, or None."""
    want = "0100007F:%04X" % port
    try:
        with open("/proc/net/tcp") as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[1] == want and fields[3] == "0A":
                    return fields[9]
    except OSError:
        pass
    return None


def ports_are_ours(ports):
    """True when every port listens in a process of our own Wine prefix: other build trees on
    this machine run their copies on the same ports."""
    for port in ports:
        inode = listener_inode(port)
        if inode is None:
            return False
        link = "socket:[%s]" % inode
        owned = False
        for pid in host_pids():
            try:
                fds = os.listdir("/proc/%d/fd" % pid)
                if not any(os.readlink("/proc/%d/fd/%s" % (pid, fd)) == link for fd in fds):
                    continue
                owned = in_prefix(pid, BUILD)
            except OSError:
                continue
            if owned:
                break
        if not owned:
            return False
    return True


def take_port(port, timeout=180):
    """A listening socket of our own on the port (once no other run holds it)."""
    deadline = time.monotonic() + timeout
    while True:
        wait_ports_free((port,), max(deadline - time.monotonic(), 1))
        blocker = socket.socket()
        try:
            blocker.bind((HOST, port))
            blocker.listen(1)
            return blocker
        except OSError:
            blocker.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.5)


def wait_ports_free(ports=(POLICY_PORT, COMMAND_PORT), timeout=180):
    return wait_for(lambda: all(listener_inode(p) is None for p in ports), timeout, 0.5)


def children(pid):
    """Pids whose parent is pid."""
    found = []
    for child in host_pids():
        try:
            with open("/proc/%d/stat" % child) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                found.append(child)
        except (OSError, IndexError, ValueError):
            pass
    return found


class IvlSync:
    """One run of ivlsync.exe through tools/wine-run, in a folder of its own."""

    def __init__(self, *args, wait_ports=(POLICY_PORT, COMMAND_PORT), attempts=3):
        for attempt in range(attempts):
            if not wait_ports_free(wait_ports):
                raise RuntimeError("ports %r stay in use" % (wait_ports,))
            self.start(args)
            if wait_for(lambda: ports_are_ours(wait_ports) or self.proc.poll() is not None, 60) \
                    and self.proc.poll() is None:
                return
            # Another copy on this machine took a port first.
            self.kill()
        raise RuntimeError("ivlsync did not open its ports; see %s" % self.folder)

    def start(self, args):
        self.folder = tempfile.mkdtemp(prefix="e2e_protocol_")
        self.out = open(os.path.join(self.folder, "wine.out"), "wb")
        self.proc = subprocess.Popen(
            wine_command(BUILD, EXE, "/m", *args),
            cwd=self.folder, stdout=self.out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def log(self):
        try:
            with open(os.path.join(self.folder, "ivlsync.log"), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def close(self, session=5, timeout=30):
        """CMD_CLOSE; returns the reply and the exit code once the program has ended."""
        with fc.FlashClient(HOST, COMMAND_PORT) as c:
            reply = c.command(fc.CMD_CLOSE, session)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("ivlsync did not end after CMD_CLOSE")
        self.out.close()
        return reply, rc

    def kill(self):
        if self.proc.poll() is None:
            # wine-run's child is the Windows program itself
            for pid in children(self.proc.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


@contextlib.contextmanager
def running_with_port_taken(port):
    """A run of the program while a socket of ours holds one of its two ports."""
    blocker = take_port(port)
    try:
        sync = IvlSync(wait_ports=tuple(p for p in (POLICY_PORT, COMMAND_PORT) if p != port))
        try:
            yield sync
        finally:
            sync.kill()
    finally:
        blocker.close()


def reply_tuples(messages):
    return [m.tuple() for m in messages]


class Running(unittest.TestCase):
    """Cases against one copy of the program that runs for the whole class."""

    @classmethod
    def setUpClass(cls):
        cls.sync = IvlSync()

    @classmethod
    def tearDownClass(cls):
        try:
            reply, rc = cls.sync.close()
        except Exception:
            cls.sync.kill()
            raise
        assert reply.tuple() == (fc.ERR_OK, 5), reply
        assert rc == 0, rc

    def client(self, timeout=10.0):
        return fc.FlashClient(HOST, COMMAND_PORT, timeout)

    def test_servers_listen_on_loopback_only(self):
        with open("/proc/net/tcp") as f:
            listening = [line.split()[1] for line in f.readlines()[1:] if line.split()[3] == "0A"]
        for port in (POLICY_PORT, COMMAND_PORT):
            self.assertIn("0100007F:%04X" % port, listening)
            self.assertNotIn("00000000:%04X" % port, listening)

    def test_immediate_replies(self):
        # request bytes -> the one reply
        cases = [
            (b"1000\0", (4, -1, "Malformed command")),
            (b"0;7\0", (4, 7, "Malformed command")),
            (b"5;0;x\0", (4, -1, "Malformed command")),
            (b"abc\0", (4, -1, "Malformed command")),
            (b"\0", (4, -1, "Malformed command")),
            (b"999;3\0", (3, 3, "Unknown command 999")),
            (b"5;-2\0", (3, -2, "Unknown command 5")),
            (b"2;4\0", (3, 4, "Unknown command 2")),
            (b"1005;4\0", (3, 4, "Unknown command 1005")),
            (b"2002;4\0", (3, 4, "Unknown command 2002")),
            (b"-7;4\0", (3, 4, "Unknown command -7")),
            (b" 12x;3\0", (3, 3, "Unknown command 12")),
            (b"2000;77\0", (8, 77)),
            (b"2000;-4\0", (8, -4)),
            # parameter counts
            (b"1002;11\0", (5, 11, PING_USAGE)),
            (b"1002;11;a;b\0", (5, 11, PING_USAGE)),
            (b"1004;12;live\0", (5, 12, VERIFY_USAGE)),
            (b"1004;12;live;;x\0", (5, 12, VERIFY_USAGE)),
            (b"1001;13;w;live;;1;2\0", (5, 13, RUN_USAGE)),
            (b"1003;14;live;;u;set:x;w;true\0", (5, 14, NAMED_USAGE)),
            (b"1003;14;live;;u;set:x;w;true;\0", (5, 14, NAMED_USAGE)),  # a final ';' is no parameter
            (b"1003;14;live;;u;set:x;w;true;;http://127.0.0.1:1/\0", (5, 14, EMPTY_FILESERVER)),
            (b"1003;14;live;;u;set:x;w;true;http://127.0.0.1:1/;;x\0", (5, 14, EMPTY_FILESERVER)),
            # starts that fail: no such session in this build
            (b"1004;15;live;\0", (5, 15, VERIFY_USAGE)),
            (b"1004;15;live;x\0", (5, 15, "Couldn't start verify")),
        ]
        with self.client() as c:
            for request, expected in cases:
                with self.subTest(request=request):
                    c.send_raw(request)
                    self.assertEqual(c.read().tuple(), expected)
            self.assertTrue(c.expect_silence(0.3), "a command got more than one reply")

    def test_download_usage_names_its_parameters(self):
        with self.client() as c:
            reply = c.command(fc.CMD_DOWNLOAD, 19, "live", "", "u", "true")
        self.assertEqual((reply.code, reply.session, len(reply.params)), (5, 19, 1))
        for name in ("distribution", "installed_version", "unique filename", "quick check", "unique server"):
            self.assertIn(name, reply.params[0])

    def test_replies_from_the_front_end_get_no_reply(self):
        with self.client() as c:
            c.send_raw(b"1;9\0" b"3;9;x\0" b"4;9\0" b"999;10\0")
            self.assertEqual(c.read().tuple(), (3, 10, "Unknown command 999"))
        log = self.sync.log()
        for line in ("Received ERR_OK: 1 (session 9)", "Received ERR_UNKNOWNCMD: 3 (session 9)",
                     "Received ERR_MALFORMED: 4 (session 9)"):
            self.assertIn(line, log)

    def test_first_text_ended_by_line_feed(self):
        # request bytes of a new connection -> replies
        cases = [
            (b"999;3\n", [(3, 3, "Unknown command 999")]),
            (b"2000;21\n", [(8, 21)]),
            (b"1002;22;a;b\n", [(5, 22, PING_USAGE)]),
            (b"<policy-file-request/>\n", [(4, -1, "Malformed command")]),
            # a line feed only ends the first text; later ones end at NUL
            (b"999;3\n999;4\n\0", [(3, 3, "Unknown command 999"), (3, 4, "Unknown command 999")]),
            (b"<POLICY-file-request/>\0999;5\0", None),  # the policy, then commands
        ]
        for request, expected in cases:
            with self.subTest(request=request), self.client() as c:
                c.send_raw(request)
                if expected is None:
                    self.assertEqual(c.read_raw(), fc.POLICY_TEXT)
                    expected = [(3, 5, "Unknown command 999")]
                self.assertEqual([c.read().tuple() for _ in expected], expected)

    def test_policy_on_the_command_port_keeps_the_connection(self):
        with self.client() as c:
            self.assertEqual(c.policy(), fc.POLICY_TEXT)
            self.assertEqual(len(fc.POLICY_TEXT), 120)
            self.assertEqual(c.command(2000, 31).tuple(), (8, 31))
            self.assertTrue(c.expect_silence(0.3))
        self.assertIn("<policy-file-request/> received, Sending policy file", self.sync.log())

    def test_policy_port(self):
        # request -> the whole answer before the server closes the connection
        for request in (fc.POLICY_REQUEST, b"<policy-file-request/>", b"<x>\0ignored"):
            with self.subTest(request=request):
                self.assertEqual(fc.policy_answer(HOST, POLICY_PORT, request), fc.POLICY_TEXT)

    def test_silent_client_on_the_policy_port(self):
        start = time.monotonic()
        with fc.FlashClient(HOST, POLICY_PORT, timeout=20) as c:
            answer = c.read_until_closed(20)
        self.assertEqual(answer, fc.POLICY_TEXT)
        self.assertGreater(time.monotonic() - start, 9.0)

    def test_connections_are_served_side_by_side(self):
        with self.client() as a, self.client() as b:
            a.send_raw(b"999")  # unfinished on a
            self.assertEqual(b.command(999, 41).tuple(), (3, 41, "Unknown command 999"))
            a.send_raw(b";3\0")
            self.assertEqual(a.read().tuple(), (3, 3, "Unknown command 999"))

    def test_ping_loopback(self):
        with self.client() as c:
            messages = reply_tuples(c.run(fc.CMD_PING, 51, "127.0.0.1"))
        # The ping's result may overtake the command's own reply; 200 is always last.
        self.assertEqual(messages[-1], (200, 51))
        self.assertEqual(len(messages), 3, messages)
        self.assertIn((1, 51), messages)
        result = [m for m in messages if m[0] not in (1, 200)][0]
        self.assertNotEqual(result[0], fc.ERR_FAILED, "ICMP echo to 127.0.0.1 failed here")
        self.assertEqual(result[0], fc.STATUS_PINGRESULT)
        self.assertGreaterEqual(int(result[2]), 1)

    def test_ping_unresolvable_host(self):
        with self.client(timeout=30) as c:
            messages = reply_tuples(c.run(fc.CMD_PING, 52, "no-such-host.invalid", timeout=30))
        self.assertIn((1, 52), messages)
        self.assertEqual(messages[-1], (200, 52))
        failed = [m for m in messages if m[0] == fc.ERR_FAILED]
        self.assertEqual(len(failed), 1, messages)
        self.assertRegex(failed[0][2], r"^(Timeout|Error: -?\d+)$")
        self.assertIn("ping 0.0.0.0:20201: ", self.sync.log())

    def test_ping_with_port_logs_the_port(self):
        with self.client(timeout=30) as c:
            messages = reply_tuples(c.run(fc.CMD_PING, 53, "no-such-host.invalid:3000", timeout=30))
        self.assertEqual(messages[-1], (200, 53))
        self.assertIn("ping 0.0.0.0:3000: ", self.sync.log())

    def test_busy_duplicate_and_cancel_of_a_ping(self):
        # One write: a ping, then while it runs (some milliseconds here) a second ping (busy),
        # its id again (duplicate) and a cancel. Each later command has one answer while the
        # session is in the table and another once it has gone; the sequence must be one of
        # those, and the live one must show up within a few tries. (The same checks without
        # timing are unit tests.)
        live = [(6, 0, "Already pinging"), (7, 61, "Session already exists"), (100, 61)]
        gone = [(5, 0, PING_USAGE), (5, 61, PING_USAGE), (8, 61)]
        seen_live = False
        for attempt in range(10):
            sid2 = 620 + attempt
            with self.client() as c:
                c.send_raw(fc.encode(fc.CMD_PING, 61, "127.0.0.1")
                           + fc.encode(fc.CMD_PING, sid2, "127.0.0.1", "x")
                           + fc.encode(fc.CMD_PING, 61)
                           + fc.encode(fc.CMD_CANCEL, 61))
                got = []
                while (200, 61) not in got or len([m for m in got if m[1] != 61 or m[0] not in (2, 103, 200)]) < 4:
                    got.append(c.read().tuple())
                self.assertTrue(c.expect_silence(0.3), got)
            ends = [m for m in got if m[1] == 61 and m[0] in (fc.ERR_FAILED, fc.STATUS_PINGRESULT)]
            answers = [m for m in got if m not in ends and m != (200, 61)]
            self.assertEqual(answers[0], (1, 61), got)
            self.assertEqual(got[-1], (200, 61), got)
            states = []
            for answer, if_live, if_gone in zip(answers[1:], live, gone):
                if_live = tuple(sid2 if x == 0 else x for x in if_live)
                if_gone = tuple(sid2 if x == 0 else x for x in if_gone)
                self.assertIn(answer, (if_live, if_gone), got)
                states.append(answer == if_live)
            self.assertEqual(states, sorted(states, reverse=True), "the session came back: %r" % got)
            # one end reply unless the cancel came before the echoes were done
            self.assertLessEqual(len(ends), 1, got)
            if not states[-1]:
                self.assertEqual(len(ends), 1, got)
            if all(states):
                # STATUS_STOPPED comes before the removal
                self.assertLess(got.index((100, 61)), got.index((200, 61)))
                seen_live = True
                break
        self.assertTrue(seen_live, "the ping always ended before the next command was read")
        # after the removal the id is free again
        with self.client() as c:
            self.assertEqual(c.command(fc.CMD_PING, 61).tuple(), (5, 61, PING_USAGE))

    def test_many_clients_at_once(self):
        errors = []

        def one(n):
            try:
                with self.client() as c:
                    for i in range(20):
                        sid = 1000 + n * 100 + i
                        r = c.command(2000, sid).tuple()
                        if r != (8, sid):
                            errors.append(r)
            except Exception as e:  # noqa: BLE001
                errors.append(e)

        threads = [threading.Thread(target=one, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(errors, [])


class Lifecycle(unittest.TestCase):
    """Cases that need a copy of the program of their own."""

    def test_close_ends_the_program(self):
        sync = IvlSync()
        reply, rc = sync.close(session=5)
        self.assertEqual(reply.tuple(), (fc.ERR_OK, 5))
        self.assertEqual(rc, 0)
        self.assertFalse(ports_are_ours((COMMAND_PORT,)))
        self.assertFalse(ports_are_ours((POLICY_PORT,)))

    def test_close_while_a_ping_runs(self):
        sync = IvlSync()
        try:
            with fc.FlashClient(HOST, COMMAND_PORT) as c:
                c.send_raw(fc.encode(fc.CMD_PING, 71, "no-such-host.invalid") + fc.encode(fc.CMD_CLOSE, 72))
                got = []
                try:
                    while True:
                        got.append(c.read(20).tuple())
                except ConnectionError:
                    pass
            self.assertEqual(got[:2], [(1, 71), (1, 72)])
            rc = sync.proc.wait(30)
            self.assertEqual(rc, 0)
        finally:
            sync.kill()

    def test_policy_port_taken(self):
        with running_with_port_taken(POLICY_PORT) as sync:
            with fc.FlashClient(HOST, COMMAND_PORT) as c:
                self.assertEqual(c.policy(), fc.POLICY_TEXT)
                self.assertEqual(c.command(2000, 81).tuple(), (8, 81))
            self.assertTrue(wait_for(lambda: "Error: Can't bind to port 50009. Is something else using it?"
                                     in sync.log(), 10), sync.log())
            reply, rc = sync.close()
            self.assertEqual((reply.tuple(), rc), ((fc.ERR_OK, 5), 0))

    def test_command_port_taken(self):
        # no command port to send CMD_CLOSE to: the run ends by kill
        with running_with_port_taken(COMMAND_PORT) as sync:
            self.assertEqual(fc.policy_answer(HOST, POLICY_PORT), fc.POLICY_TEXT)
            self.assertTrue(wait_for(lambda: "Error: Can't bind to port 50010. Is something else using it?"
                                     in sync.log(), 10), sync.log())


def main():
    global BUILD, EXE
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--exe")
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build)
    EXE = os.path.abspath(args.exe or os.path.join(BUILD, "engine", "launch", "ivlsync", "ivlsync.exe"))
    if not os.path.exists(EXE):
        print("missing %s" % EXE, file=sys.stderr)
        return 1
    # Other runs on this machine (other build trees) use the same fixed ports.
    lock = open("/tmp/ivlsync-ports.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    prog = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    return 0 if prog.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
