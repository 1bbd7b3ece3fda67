"""morvane-client as a program, against a fake server on 127.0.0.1: start-up
failures, the symlink's life, the session's errors, the data connection.

Usage: /usr/bin/python3 client_program_test.py path/to/morvane-client
"""

import os
import re
import select
import signal
import socket
import struct
import sys
import tempfile
import termios
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

CLIENT = None
TITLE = "WIN morvane Client"
LIMIT = support.SAFETY_SECONDS


def read_exactly(sock, count):
    data = bytearray()
    while len(data) < count:
        piece = sock.recv(min(65536, count - len(data)))
        if not piece:
            break
        data += piece
    return bytes(data)


def read_fd_exactly(fd, count):
    data = bytearray()
    while len(data) < count:
        ready, _, _ = select.select([fd], [], [], LIMIT)
        if not ready:
            break
        data += os.read(fd, count - len(data))
    return bytes(data)


def parse_records(data):
    """(code, input) pairs and the bytes of an unfinished record."""
    records = []
    while len(data) >= 6 and len(data) >= 6 + data[0]:
        length = data[0]
        records.append((struct.unpack("<I", data[2:6])[0], bytes(data[6:6 + length])))
        data = data[6 + length:]
    return records, data


class FakeServer:
    """Plays the server's side of the connection set-up."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.control = None
        self.data = None
        self.pending = b""

    def accept_session(self):
        self.listener.settimeout(LIMIT)
        self.control, peer = self.listener.accept()
        self.control.settimeout(LIMIT)
        wire = self.control.recv(3)
        assert len(wire) == 2, wire
        self.data = socket.create_connection((peer[0], struct.unpack(">H", wire)[0]), LIMIT)

    def next_records(self):
        """The complete records that arrive with the next receive."""
        while True:
            piece = self.control.recv(4096)
            if not piece:
                return None
            records, self.pending = parse_records(self.pending + piece)
            if records:
                return records

    def close(self):
        for sock in (self.data, self.control, self.listener):
            if sock is not None:
                sock.close()


class Client(support.Program):
    def wait_line(self, text):
        """The first line of standard error that holds `text`."""
        match = self.wait_for_line("^.*" + re.escape(text) + ".*$")
        assert match, "no line with %r in %r" % (text, self.text())
        return match.group(0).rstrip("\n")

    def finish(self):
        """The exit status and the lines of standard error, once it ended."""
        return self.wait(), self.text().splitlines()

    def end(self, signal_number=signal.SIGTERM):
        if self.status is None and self.process.poll() is None:
            os.kill(self.process.pid, signal_number)
        return self.finish()


class ClientProgramTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.link = self.join("com3")

    def tearDown(self):
        self.directory.cleanup()

    def join(self, name):
        return os.path.join(self.directory.name, name)

    def settings(self, text):
        with open(self.join("morvane.ini"), "w") as file:
            file.write(text)

    def start(self, port, extra=""):
        self.settings("[CLIENT]\nhost=127.0.0.1\nport=%d\ncom=3\n%s" % (port, extra))
        return Client(CLIENT, self.directory.name).start()

    def test_start_up_failures_show_their_message_and_publish_nothing(self):
        server = FakeServer()
        self.addCleanup(server.close)
        os.mkdir(self.join("com4"))
        with open(self.join("com5"), "w") as file:
            file.write("keep me")
        host = "host=127.0.0.1\nport=%d\n" % server.port
        cases = [
            ("com=3\n", "morvane.ini ファイルに誤りがあります"),
            ("host=\ncom=3\n", "morvane.ini ファイルに誤りがあります"),
            (host + "com=3\nline=9X1\n", "morvane.ini ファイルに誤りがあります"),
            (host + "com=4\n", "シリアルでエラーが発生しました"),
            (host + "com=5\n", "シリアルでエラーが発生しました"),
        ]
        for body, message in cases:
            with self.subTest(settings=body):
                self.settings("[CLIENT]\n" + body)
                status, lines = Client(CLIENT, self.directory.name).start().finish()
                self.assertEqual(status, 2)
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith(TITLE + ": " + message), lines)
                self.assertFalse(os.path.lexists(self.link))
        # Nothing ever connected to the server.
        server.listener.setblocking(False)
        with self.assertRaises(BlockingIOError):
            server.listener.accept()
        with open(self.join("com5")) as file:
            self.assertEqual(file.read(), "keep me")
        self.assertTrue(os.path.isdir(self.join("com4")))

    def test_refused_server_is_a_session_error_that_withdraws_the_port(self):
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))  # bound, not listening: refused
        self.addCleanup(closed.close)
        status, lines = self.start(closed.getsockname()[1]).finish()
        self.assertEqual(status, 1)
        self.assertIn(TITLE + ": connect connect error", lines)
        self.assertFalse(os.path.lexists(self.link))

    def test_symlink_lives_as_long_as_the_program(self):
        os.symlink("/dev/pts/left-behind", self.link)
        server = FakeServer()
        self.addCleanup(server.close)
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signal_number):
                client = self.start(server.port)
                note = client.wait_line("virtual port")
                target = os.readlink(self.link)
                self.assertTrue(target.startswith("/dev/pts/"), target)
                self.assertEqual(note, "%s: virtual port ./com3 -> %s, server 127.0.0.1:%d"
                                 % (TITLE, target, server.port))
                status, lines = client.end(signal_number)
                self.assertEqual((status, lines), (0, [note]))
                self.assertFalse(os.path.lexists(self.link))
        # The "device" key names the path.
        os.mkdir(self.join("dev"))
        path = self.join("dev/gps")
        client = self.start(server.port, "device=%s\n" % path)
        client.wait_line("virtual port %s -> /dev/pts/" % path)
        self.assertTrue(os.path.islink(path))
        self.assertFalse(os.path.lexists(self.link))
        client.end()
        self.assertFalse(os.path.lexists(path))

    def test_session_carries_data_and_survives_the_data_connection_closing(self):
        server = FakeServer()
        self.addCleanup(server.close)
        client = self.start(server.port)
        self.addCleanup(client.stop)
        server.accept_session()
        first = server.next_records()
        self.assertEqual([code for code, _ in first], [0x1B0004, 0x1B000C, 0x1B0064, 0x1B005C])

        app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, app)
        # More than 64 bytes at once, each way, in order.
        burst = bytes(range(256)) * 8
        server.data.sendall(burst)
        self.assertEqual(read_fd_exactly(app, len(burst)), burst)
        os.write(app, burst[::-1])
        self.assertEqual(read_exactly(server.data, len(burst)), burst[::-1])

        server.data.close()
        server.data = None
        # Control requests still go to the server, and nothing is shown.
        settings = termios.tcgetattr(app)
        settings[4] = settings[5] = termios.B1200
        termios.tcsetattr(app, termios.TCSANOW, settings)
        self.assertEqual(server.next_records(), [(0x1B0004, (1200).to_bytes(4, "little"))])
        os.write(app, b"nobody hears this")
        settings[4] = settings[5] = termios.B2400
        termios.tcsetattr(app, termios.TCSANOW, settings)
        self.assertEqual(server.next_records(), [(0x1B0004, (2400).to_bytes(4, "little"))])
        self.assertIsNone(client.process.poll())
        status, lines = client.end()
        self.assertEqual(status, 0)
        self.assertEqual(len(lines), 1, lines)

    def test_lost_control_connection_is_send_ioctl_error(self):
        server = FakeServer()
        self.addCleanup(server.close)
        client = self.start(server.port)
        client.wait_line("virtual port")
        server.accept_session()
        server.next_records()
        server.control.close()
        server.control = None
        app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, app)
        settings = termios.tcgetattr(app)
        # The first send after the close may still be taken (the peer answers
        # it with a reset); a later one fails and the program ends.
        for speed in (termios.B1200, termios.B2400) * 100:
            settings[4] = settings[5] = speed
            termios.tcsetattr(app, termios.TCSANOW, settings)
            if client.wait_for_line("send ioctl error", 0.1):
                break
        status, lines = client.finish()
        self.assertEqual(status, 1)
        self.assertIn(TITLE + ": send ioctl error", lines)
        self.assertFalse(os.path.lexists(self.link))


if __name__ == "__main__":
    CLIENT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
