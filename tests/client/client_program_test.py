# morvane-client against a server played on 127.0.0.1.

import ctypes
import grp
import os
import select
import signal
import socket
import stat
import struct
import subprocess
import sys
import termios
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

CLIENT = None
TITLE = "WIN morvane Client"


def baud(rate):
    return (support.SET_BAUD_RATE, struct.pack("<I", rate))


def handflow(handshake, replace):
    return (support.SET_HANDFLOW, struct.pack("<IIII", handshake, replace, 2048, 512))


def read_records(control, count):
    records = []
    for _ in range(count):
        length, _, code = struct.unpack("<BBI", support.receive_exactly(control, 6))
        records.append((code, support.receive_exactly(control, length)))
    return records


class ClientProgramTest(support.ProgramTest):
    def setUp(self):
        super().setUp()
        self.link = self.join("com3")
        self.server = self.enterContext(socket.create_server((support.LOOPBACK, 0)))
        self.port = self.server.getsockname()[1]
        self.host = "host=127.0.0.1\nport=%d\n" % self.port

    def join(self, name):
        return os.path.join(self.directory, name)

    def start(self, body):
        with open(self.join("morvane.ini"), "w") as file:
            file.write("[CLIENT]\n" + body)
        client = support.Program(CLIENT, self.directory).start()
        self.addCleanup(client.stop)
        return client

    def running(self, extra=""):
        client = self.start(self.host + "com=3\n" + extra)
        note = client.wait_for_line(r"^.*virtual port (\S+) -> (/dev/pts/\d+), server.*$")
        self.assertIsNotNone(note, client.text())
        return client, note

    def end(self, client, signal_number=signal.SIGTERM):
        os.kill(client.process.pid, signal_number)
        return client.wait(), client.text().splitlines()

    def test_failures_show_their_message_and_leave_no_port(self):
        with open(self.join("com5"), "w") as file:
            file.write("keep me")
        refused = self.enterContext(socket.socket())
        refused.bind((support.LOOPBACK, 0))  # bound, not listening
        # Start-up failures end with status 2 before any network activity,
        # whatever "reconnect" says, and say what and why after the message's
        # gloss; a session error with status 1 after the running note.
        cases = [("com=3\nreconnect=1\n", 2, support.MESSAGE_SETTINGS, "host: empty; set it to the server's name or address"),
                 ("host=nowhere.invalid\ncom=3\n", 2, support.MESSAGE_SETTINGS, "host: 'nowhere.invalid' does not resolve"),
                 (self.host + "com=3\nline=9X1\n", 2, support.MESSAGE_SETTINGS,
                  "line: '9X1' is not data bits, parity and stop bits such as 8N1"),
                 (self.host + "com=3\nprotocol=x\n", 2, support.MESSAGE_SETTINGS, "protocol: 'x' is neither native nor rfc2217"),
                 (self.host + "com=3\ngroup=no-such-group\n", 2, support.MESSAGE_SETTINGS, "group: 'no-such-group' does not exist"),
                 (self.host + "com=3\nmode=0668\n", 2, support.MESSAGE_SETTINGS, "mode: '0668' is not an octal mode such as 0660"),
                 (self.host + "com=5\nreconnect=5\n", 2, support.MESSAGE_SERIAL, "com5: not a symlink, so left as it is"),
                 (self.host + "device=%s\n" % self.join("missing/com3"), 2, support.MESSAGE_SERIAL, "/missing/com3: No such file or directory"),
                 ("host=127.0.0.1\nport=%d\ncom=3\n" % refused.getsockname()[1], 1, "connect connect error", "")]
        for body, status, message, detail in cases:
            with self.subTest(settings=body):
                client = self.start(body)
                self.assertEqual(client.wait(), status)
                lines = client.text().splitlines()
                # A session that fails at once may end the process before
                # the running note is out.
                self.assertIn(len(lines), (1,) if status == 2 else (1, 2), lines)
                self.assertTrue(lines[-1].startswith(TITLE + ": " + message), lines)
                self.assertTrue(lines[-1].endswith(detail), lines)
                self.assertFalse(os.path.lexists(self.link))
        # Nothing connected, nothing was overwritten or left behind.
        self.assertEqual(select.select([self.server], [], [], 0)[0], [])
        with open(self.join("com5")) as file:
            self.assertEqual(file.read(), "keep me")
        self.assertEqual(sorted(os.listdir(self.directory)), ["com5", "morvane.ini"])

    def test_symlink_lives_as_long_as_the_program(self):
        os.symlink("/dev/pts/left-behind", self.link)
        client, note = self.running()
        # The port of a live client is not taken over; a killed one's is.
        second = self.start(self.host + "com=3\n")
        self.assertEqual((second.wait(), os.readlink(self.link)), (2, note.group(2)))
        self.end(client, signal.SIGKILL)
        client, note = self.running()
        self.assertEqual(note.group(0), "%s: virtual port ./com3 -> %s, server 127.0.0.1:%d"
                         % (TITLE, os.readlink(self.link), self.port))
        self.assertEqual(self.end(client), (0, [note.group(0)]))
        self.assertFalse(os.path.lexists(self.link))
        # The "device" key names the path; a link someone else made there
        # meanwhile is theirs and stays.
        os.mkdir(self.join("dev"))
        path = self.join("dev/gps")
        client, note = self.running("device=%s\ngroup=dialout\nmode=0640\n" % path)
        self.assertEqual(note.group(1), path)
        self.assertEqual(os.readlink(path), note.group(2))
        port = os.stat(path)  # as a pty creator leaves it
        self.assertEqual((port.st_gid, stat.S_IMODE(port.st_mode)), (grp.getgrnam("dialout").gr_gid, 0o640))
        self.assertFalse(os.path.lexists(self.link))
        os.unlink(path)
        os.symlink("/dev/pts/other", path)
        self.assertEqual(self.end(client)[0], 0)
        self.assertEqual(os.readlink(path), "/dev/pts/other")

    def accept_control(self):
        self.server.settimeout(support.SAFETY_SECONDS)
        control = self.enterContext(self.server.accept()[0])
        control.settimeout(support.SAFETY_SECONDS)
        # One receive: both bytes are there only when they went out in one send.
        hello = control.recv(3)
        self.assertEqual(len(hello), 2)
        return control, struct.unpack(">H", hello)[0]

    def connect_back(self, port, source=support.LOOPBACK):
        return self.enterContext(socket.create_connection((support.LOOPBACK, port), support.SAFETY_SECONDS,
                                                          source_address=(source, 0)))

    def test_the_port_reports_every_change_and_holds_what_nobody_reads(self):
        client, note = self.running("line=7E2\n")
        control, port = self.accept_control()
        data = self.connect_back(port)
        for sock in (control, data):  # small pieces go out at once
            end = support.borrowed_socket(client.process.pid, sock.getsockname())
            self.assertTrue(end.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
            end.close()
        # DTR and RTS on within the handflow record: no records of their own.
        self.assertEqual(read_records(control, 4), [baud(9600), (support.SET_LINE_CONTROL, b"\2\2\7"),
                                                    handflow(1, 0x40), (support.SET_CHARS, b"\0\0\0\0\x11\x13")])
        # Far more than a pty holds, before any application opens the port.
        incoming = support.pattern(256 * 1024)
        sender = threading.Thread(target=data.sendall, args=(incoming,))
        sender.start()
        app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, app)
        self.assertTrue(support.read_exactly(app, len(incoming)) == incoming)
        sender.join()

        def speed(rate, output_only=False):  # ispeed and ospeed, or ospeed alone
            first = 5 if output_only else 4
            return lambda a: a.__setitem__(slice(first, 6), [rate] * (6 - first))

        def flags(index, on=0, off=0):
            return lambda a: a.__setitem__(index, (a[index] & ~off) | on)

        def software_flow(a):  # in one change, as the record is one
            a[0] |= termios.IXON | termios.IXOFF
            a[2] &= ~termios.CRTSCTS

        def chars(a):
            a[6][termios.VSTART], a[6][termios.VSTOP] = b"\x05", b"\x06"

        # The word length the pty cannot hold still comes from "line"; setting
        # what is set, and hanging up (B0), ask for nothing; a program that
        # drops EXTPROC is still heard.
        for changes, expected in (
                ([speed(termios.B115200)], [baud(115200)]),
                ([flags(2, termios.PARODD, termios.CSTOPB)], [(support.SET_LINE_CONTROL, b"\0\1\7")]),
                ([flags(2, termios.CRTSCTS)], [handflow(9, 0x80)]),
                ([software_flow], [handflow(1, 0x43)]),
                ([chars], [(support.SET_CHARS, b"\0\0\0\0\x05\x06")]),
                (["in"], [(0x1B004C, struct.pack("<I", 0x0A))]),
                (["out"], [(0x1B004C, struct.pack("<I", 0x05))]),
                ([None, speed(termios.B0, True), None, speed(termios.B300)], [baud(300)]),
                ([flags(3, 0, support.EXTPROC), speed(termios.B4800)], [baud(4800)]),
                ([speed(termios.B2400)], [baud(2400)])):
            for change in changes:
                if change in ("in", "out"):
                    termios.tcflush(app, termios.TCIFLUSH if change == "in" else termios.TCOFLUSH)
                    continue
                attributes = termios.tcgetattr(app)
                if change is not None:
                    change(attributes)
                termios.tcsetattr(app, termios.TCSANOW, attributes)
            self.assertEqual(read_records(control, len(expected)), expected)
        self.assertEqual(self.end(client)[0], 0)

    def test_only_the_server_connects_back_in_time_and_either_connection_ends_the_session(self):
        for closing in ("control", "data"):
            client, note = self.running()
            control, port = self.accept_control()
            with self.assertRaises(ConnectionRefusedError):  # it listens where the server reached it only
                socket.create_connection(("127.0.0.2", port), support.SAFETY_SECONDS)
            with self.connect_back(port, "127.0.0.2") as foreign:
                self.assertEqual(foreign.recv(1), b"")
            data = self.connect_back(port)
            app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
            self.addCleanup(os.close, app)
            data.sendall(b"server")
            self.assertEqual(os.read(app, 6), b"server")
            # Once the connection back is up, nobody else can connect.
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((support.LOOPBACK, port), support.SAFETY_SECONDS)
            os.write(app, b"up")
            self.assertEqual(support.receive_exactly(data, 2), b"up")
            # Unread bytes would make the close a reset.
            self.assertEqual(len(support.receive_exactly(control, 53)), 53)
            (control if closing == "control" else data).close()
            self.assertEqual(client.wait(), 1)
            self.assertEqual(client.text().splitlines(), [note.group(0), TITLE + ": server closed the connection"])
            self.assertFalse(os.path.lexists(self.link))
        client, note = self.running()
        self.addCleanup(self.server.accept()[0].close)  # and never connected back
        self.assertEqual(client.wait(11), 1)  # raises past the deadline and a second
        self.assertEqual(client.text().splitlines()[-1],
                         TITLE + ": server did not connect back (busy, or blocked by a firewall)")

    def test_an_rfc2217_session_ends_soon_after_its_server_vanishes(self):
        # In a network namespace of our own whose loopback then goes down:
        # traffic dropped both ways, no FIN, no RST.
        libc, home = ctypes.CDLL(None), open("/proc/self/ns/net")
        self.addCleanup(lambda: libc.setns(home.fileno(), 0x40000000))  # CLONE_NEWNET
        if libc.unshare(0x40000000) != 0 or subprocess.run(["ip", "link", "set", "lo", "up"]).returncode != 0:
            self.skipTest("no network namespaces here")
        server = socket.create_server((support.LOOPBACK, 0))
        self.host = "host=127.0.0.1\nport=%d\nprotocol=rfc2217\n" % server.getsockname()[1]
        # Neither application reads, so that both clients wait in the port
        # write with everything full behind them; one writes after the loss.
        clients = [self.running("device=%s\n" % self.join(name))[0] for name in ("not_writing", "writing")]
        peers = [server.accept()[0] for _ in clients]

        def windows_closed():  # the clients' (tcpi_snd_wnd)
            for peer in select.select([], peers, [], 0)[1]:
                peer.send(bytes(1 << 20), socket.MSG_DONTWAIT)
            return all(struct.unpack_from("I", peer.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 232), 228)[0] == 0
                       for peer in peers)

        self.assertTrue(support.eventually(windows_closed))
        # A native session with nothing in flight, whose application flushes
        # the port after the loss: its PURGE stays unacknowledged.
        native = socket.create_server((support.LOOPBACK, 0))
        clients.append(self.start("host=127.0.0.1\nport=%d\ndevice=%s\n" % (native.getsockname()[1],
                                                                           self.join("flushing"))))
        control = native.accept()[0]
        self.connect_back(struct.unpack(">H", support.receive_exactly(control, 2))[0])
        self.assertEqual(len(read_records(control, 4)), 4)
        subprocess.run(["ip", "link", "set", "lo", "down"], check=True)
        os.write(os.open(self.join("writing"), os.O_RDWR | os.O_NOCTTY), b"into the void")
        termios.tcflush(os.open(self.join("flushing"), os.O_RDWR | os.O_NOCTTY), termios.TCIFLUSH)
        # Within 40 s of the loss, the one that wrote nothing waited for first.
        self.assertEqual([client.wait(40) for client in clients], [1, 1, 1])
        self.assertEqual({client.text().splitlines()[-1] for client in clients}, {TITLE + ": server lost"})

    def test_reconnecting_keeps_descriptors_and_threads_and_ends_on_a_signal(self):
        client, note = self.running("reconnect=1\n")
        held = "/proc/%d/%%s" % client.process.pid

        def counts():
            return len(os.listdir(held % "fd")), len(os.listdir(held % "task"))

        for round_number in range(1001):
            control, port = self.accept_control()
            client._read_stderr(0)  # two lines a round: keep the pipe from filling
            # Here the session before is gone and the client waits for us. A
            # thread joined a moment ago can be listed for a moment longer; a
            # leak would have grown by a thousand.
            if round_number == 1:
                first = counts()
            elif round_number == 1000:
                self.assertTrue(support.eventually(lambda: all(map(int.__le__, counts(), first))), (counts(), first))
            self.connect_back(port).close()
            control.close()
        # Once it is back, every line of the sessions before is out. Refused
        # from now on: SIGINT ends the waiting client.
        self.accept_control()[0].close()
        self.server.close()
        status, lines = self.end(client, signal.SIGINT)
        self.assertEqual(status, 0)
        self.assertEqual(lines.count(TITLE + ": connected again; 0 bytes written meanwhile were discarded"), 1000)
        self.assertEqual(len([line for line in lines if line.endswith("; trying again every 1 s")]), 1001)
        self.assertFalse(os.path.lexists(self.link))

if __name__ == "__main__":
    CLIENT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
