#!/usr/bin/env python3
"""End to end: the real ivlsync.exe under Wine, spoken to on its policy port (50009) and its
command port (50010) through tools/flashclient.py, like the page's Flash front end does.

    e2e_protocol.py --build BUILD [--exe PATH] [unittest arguments]
"""
import contextlib
import os
import select
import socket
import subprocess
import sys
import threading
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tools"))
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
import flashclient as fc  # noqa: E402
import syncdriver  # noqa: E402
from winetest import driver_args, port_listening, run_isolated, wait_for  # noqa: E402

BUILD = None
EXE = None
HOST = "127.0.0.1"
# Never answers inside tools/netns-run: a ping of it runs until its time-out.
SILENT_HOST = "192.0.2.1"
POLICY_PORT, COMMAND_PORT = fc.POLICY_PORT, fc.COMMAND_PORT

PING_USAGE = "CMD_PING expects 1 parameter (hostname)"
VERIFY_USAGE = "CMD_VERIFY expects 2 parameter (distribution, installed_version)"
RUN_USAGE = ("CMD_RUN_IVL expects at least 6 parameters (web_entrance, distribution, installed_version, "
             "mission id, player session id, language [, name=value]*)")
NAMED_USAGE = ("CMD_DOWNLOADNAMED expects 7+ parameters (distribution, installed_version, unique filename, "
               "list-of-names, web_entrance, quick check, fileserver1 [fileserver2,])")
EMPTY_FILESERVER = "CMD_DOWNLOADNAMED: invalid parameter for fileserver (empty string)"


def take_port(port):
    """A listening socket of our own on the port."""
    blocker = socket.socket()
    # Connections of the copies before may linger in TIME_WAIT on it.
    blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    blocker.bind((HOST, port))
    blocker.listen(1)
    return blocker


class IvlSync(syncdriver.SyncProgram):
    """One copy of ivlsync.exe serving its ports (those not taken), in a folder of its own."""

    def __init__(self, *args, wait_ports=(POLICY_PORT, COMMAND_PORT)):
        super().__init__(BUILD, EXE, prefix="e2e_protocol_", copy=False)
        try:
            self.start_serving("/m", *args, ports=wait_ports)
        except BaseException:
            self.cleanup()
            raise

    def close(self, session=5, timeout=30):
        """CMD_CLOSE; returns the reply and the exit code once the program has ended."""
        with fc.FlashClient(HOST, COMMAND_PORT) as c:
            reply = c.command(fc.CMD_CLOSE, session)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("ivlsync did not end after CMD_CLOSE")
        return reply, rc


@contextlib.contextmanager
def running_with_port_taken(port):
    """A run of the program while a socket of ours holds one of its two ports."""
    blocker = take_port(port)
    try:
        sync = IvlSync(wait_ports=tuple(p for p in (POLICY_PORT, COMMAND_PORT) if p != port))
        try:
            yield sync
        finally:
            sync.cleanup()
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
        finally:
            cls.sync.cleanup()
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
            # numbers past 32 bits are refused, not wrapped into another code or session
            (b"2147483648;1\0", (4, 1, "Malformed command")),
            (b"1002;99999999999;127.0.0.1\0", (4, -1, "Malformed command")),
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
            (b"1004;15;live;\0", (5, 15, VERIFY_USAGE)),
            # a start refused before anything is touched
            (b"1004;15;..\\x;x\0", (5, 15, "CMD_VERIFY: invalid parameter for distribution "
                                             "(not a folder under the install root)")),
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

    def test_policy_answer_ends_without_a_reset(self):
        """The bytes after the request's '>' (its NUL at least) are read before the close: a
        socket closed with unread bytes is reset, and a reset may make a client drop the answer."""
        for request in (fc.POLICY_REQUEST, b"<policy-file-request/>\0and more"):
            with self.subTest(request=request), socket.create_connection((HOST, POLICY_PORT), timeout=20) as s:
                s.sendall(request)
                # Only once the server has ended its side (an end of stream or a reset) is
                # anything read, so that a reset is always seen.
                ended = select.poll()
                ended.register(s, select.POLLRDHUP)
                self.assertTrue(ended.poll(20000), "the server kept the connection")
                answer = b""
                while True:
                    piece = s.recv(4096)  # a reset raises ConnectionResetError
                    if not piece:
                        break
                    answer += piece
                self.assertEqual(answer, fc.POLICY_TEXT)

    def test_silent_client_on_the_policy_port(self):
        start = time.monotonic()
        with fc.FlashClient(HOST, POLICY_PORT, timeout=20) as c:
            answer = c.read_until_closed(20)
        self.assertEqual(answer, fc.POLICY_TEXT)
        # answered after the request deadline, not at once
        self.assertGreater(time.monotonic() - start, 2.0)

    def test_idle_and_trickling_clients_do_not_keep_a_request_out(self):
        # Two connections that send nothing and five that trickle a request that never ends
        # hold the one-at-a-time port for a short deadline each; the honest request waits in
        # the listen queue behind them and gets its answer well before they would have held
        # it with a long one.
        stop = threading.Event()
        held, trickling = [], []

        def trickle(sock):
            while not stop.is_set():
                try:
                    sock.send(b"x")
                except OSError:
                    return
                stop.wait(0.5)
        try:
            for n in range(7):
                sock = socket.create_connection((HOST, POLICY_PORT), timeout=5)
                held.append(sock)
                if n >= 2:
                    trickling.append(threading.Thread(target=trickle, args=(sock,)))
                    trickling[-1].start()
            self.assertEqual(fc.policy_answer(HOST, POLICY_PORT, timeout=45), fc.POLICY_TEXT)
        finally:
            stop.set()
            for t in trickling:
                t.join()
            for sock in held:
                sock.close()

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
        self.assertNotEqual(result[0], fc.ERR_FAILED, "ICMP echo to 127.0.0.1 failed here: %r\n%s"
                            % (result, self.sync.log()[-2000:]))
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
        # One write: a ping of a host that never answers (so its session surely runs while the
        # rest is read), a second ping (busy), its id again (duplicate) and a cancel.
        with self.client(timeout=30) as c:
            c.send_raw(fc.encode(fc.CMD_PING, 61, SILENT_HOST)
                       + fc.encode(fc.CMD_PING, 62, SILENT_HOST, "x")
                       + fc.encode(fc.CMD_PING, 61)
                       + fc.encode(fc.CMD_CANCEL, 61))
            got = []
            while (200, 61) not in got:
                got.append(c.read(30).tuple())
            self.assertTrue(c.expect_silence(0.3), got)
        # The cancel stops the session after the echo under way, whose failure may still come.
        ends = [m for m in got if m[0] == fc.ERR_FAILED]
        self.assertEqual([m for m in got if m not in ends],
                         [(1, 61), (6, 62, "Already pinging"), (7, 61, "Session already exists"), (100, 61),
                          (200, 61)])
        self.assertLessEqual(len(ends), 1, got)
        if ends:
            self.assertEqual(got[-2][:2], (fc.ERR_FAILED, 61), got)
            self.assertRegex(got[-2][2], r"^(Timeout|Error: -?\d+)$")
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
        self.addCleanup(sync.cleanup)
        reply, rc = sync.close(session=5)
        self.assertEqual(reply.tuple(), (fc.ERR_OK, 5))
        self.assertEqual(rc, 0)
        self.assertFalse(port_listening(COMMAND_PORT))
        self.assertFalse(port_listening(POLICY_PORT))

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
            sync.cleanup()

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
    args, rest = driver_args(optional=("exe",))
    BUILD = args.build
    EXE = args.exe or os.path.join(BUILD, "engine", "launch", "ivlsync", "ivlsync.exe")
    if not os.path.exists(EXE):
        print("missing %s" % EXE, file=sys.stderr)
        return 1
    run_isolated(BUILD)
    prog = unittest.main(argv=[sys.argv[0], "-v"] + rest, exit=False)
    return 0 if prog.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
