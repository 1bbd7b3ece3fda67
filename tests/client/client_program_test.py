"""morvane-client as a program against a fake server on 127.0.0.1: start-up
failures, the symlink's life, and how the session ends.

Usage: /usr/bin/python3 client_program_test.py path/to/morvane-client
"""

import os
import signal
import socket
import struct
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

CLIENT = None
TITLE = "WIN morvane Client"
SETTINGS_MESSAGE = "morvane.ini ファイルに誤りがあります"
SERIAL_MESSAGE = "シリアルでエラーが発生しました"


class ClientProgramTest(unittest.TestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.directory = directory.name
        self.link = self.join("com3")
        self.server = socket.socket()
        self.server.bind((support.LOOPBACK, 0))
        self.server.listen(1)
        self.addCleanup(self.server.close)
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
        os.mkdir(self.join("com4"))
        with open(self.join("com5"), "w") as file:
            file.write("keep me")
        refused = socket.socket()
        refused.bind((support.LOOPBACK, 0))  # bound, not listening
        self.addCleanup(refused.close)
        # Start-up failures end with status 2 before any network activity,
        # whatever "reconnect" says; a session error with status 1 after the
        # running note.
        cases = [("com=3\nreconnect=1\n", 2, SETTINGS_MESSAGE),
                 ("host=\nport=%d\ncom=3\n" % self.port, 2, SETTINGS_MESSAGE),
                 (self.host + "com=3\nline=9X1\n", 2, SETTINGS_MESSAGE),
                 (self.host + "com=3\nprotocol=x\n", 2, SETTINGS_MESSAGE),
                 (self.host + "com=4\nreconnect=5\n", 2, SERIAL_MESSAGE),
                 (self.host + "com=5\n", 2, SERIAL_MESSAGE),
                 ("host=127.0.0.1\nport=%d\ncom=3\n" % refused.getsockname()[1], 1, "connect connect error")]
        for body, status, message in cases:
            with self.subTest(settings=body):
                client = self.start(body)
                self.assertEqual(client.wait(), status)
                lines = client.text().splitlines()
                # A session that fails at once may end the process before
                # the running note is out.
                self.assertIn(len(lines), (1,) if status == 2 else (1, 2), lines)
                self.assertTrue(lines[-1].startswith(TITLE + ": " + message), lines)
                self.assertFalse(os.path.lexists(self.link))
        # Nothing connected, nothing was overwritten or left behind.
        self.server.setblocking(False)
        with self.assertRaises(BlockingIOError):
            self.server.accept()
        with open(self.join("com5")) as file:
            self.assertEqual(file.read(), "keep me")
        self.assertTrue(os.path.isdir(self.join("com4")))
        self.assertEqual(sorted(os.listdir(self.directory)), ["com4", "com5", "morvane.ini"])

    def test_symlink_lives_as_long_as_the_program(self):
        os.symlink("/dev/pts/left-behind", self.link)
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signal_number):
                client, note = self.running()
                target = os.readlink(self.link)
                self.assertEqual(note.group(0), "%s: virtual port ./com3 -> %s, server 127.0.0.1:%d"
                                 % (TITLE, target, self.port))
                self.assertEqual(self.end(client, signal_number), (0, [note.group(0)]))
                self.assertFalse(os.path.lexists(self.link))
        # The "device" key names the path; a link someone else made there
        # meanwhile is theirs and stays.
        os.mkdir(self.join("dev"))
        path = self.join("dev/gps")
        client, note = self.running("device=%s\n" % path)
        self.assertEqual(note.group(1), path)
        self.assertEqual(os.readlink(path), note.group(2))
        self.assertFalse(os.path.lexists(self.link))
        os.unlink(path)
        os.symlink("/dev/pts/other", path)
        self.assertEqual(self.end(client)[0], 0)
        self.assertEqual(os.readlink(path), "/dev/pts/other")

    def accept_control(self):
        """The fake server's control connection and the port to connect back to."""
        self.server.settimeout(support.SAFETY_SECONDS)
        control, _ = self.server.accept()
        control.settimeout(support.SAFETY_SECONDS)
        return control, struct.unpack(">H", support.receive_exactly(control, 2))[0]

    def connect_back(self, port, source=support.LOOPBACK):
        return socket.create_connection((support.LOOPBACK, port), support.SAFETY_SECONDS, source_address=(source, 0))

    def test_either_connection_ending_ends_the_session(self):
        for which in (0, 1):
            client, note = self.running()
            control, port = self.accept_control()
            connections = (control, self.connect_back(port))
            app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
            self.addCleanup(os.close, app)
            os.write(app, b"up")
            self.assertEqual(support.receive_exactly(connections[1], 2), b"up")
            # Unread bytes would make the close a reset.
            self.assertEqual(len(support.receive_exactly(connections[0], 53)), 53)
            connections[which].close()
            self.assertEqual(client.wait(), 1)
            self.assertEqual(client.text().splitlines(), [note.group(0), TITLE + ": server closed the connection"])
            self.assertFalse(os.path.lexists(self.link))
            connections[1 - which].close()

    def test_only_the_server_connects_back_and_within_the_deadline(self):
        client, note = self.running()
        control, port = self.accept_control()
        self.addCleanup(control.close)
        with self.connect_back(port, "127.0.0.2") as foreign:
            self.assertEqual(foreign.recv(1), b"")
        data = self.connect_back(port)
        self.addCleanup(data.close)
        data.sendall(b"server")
        app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, app)
        self.assertEqual(os.read(app, 6), b"server")
        # Once the connection back is up, nobody else can connect.
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((support.LOOPBACK, port), support.SAFETY_SECONDS)
        self.assertEqual(self.end(client)[0], 0)

        client, note = self.running()
        silent, _ = self.server.accept()
        self.addCleanup(silent.close)
        started = time.monotonic()
        self.assertEqual(client.wait(12), 1)
        self.assertLess(time.monotonic() - started, 11)
        self.assertEqual(client.text().splitlines()[-1],
                         TITLE + ": server did not connect back (busy, or blocked by a firewall)")

    def test_reconnecting_keeps_descriptors_and_threads_and_ends_on_a_signal(self):
        client, note = self.running("reconnect=1\n")
        held = "/proc/%d/%%s" % client.process.pid
        counts = []
        for round_number in range(1001):
            control, port = self.accept_control()
            client._read_stderr(0)  # two lines a round: keep the pipe from filling
            # Here the session before is gone and the client waits for us.
            if round_number in (1, 1000):
                counts.append((len(os.listdir(held % "fd")), len(os.listdir(held % "task"))))
            self.connect_back(port).close()
            control.close()
        self.assertEqual(counts[0], counts[1])
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
