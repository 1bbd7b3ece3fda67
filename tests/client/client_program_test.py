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
import termios
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

CLIENT = None
TITLE = "WIN morvane Client"
SETTINGS_MESSAGE = "morvane.ini ファイルに誤りがあります"
SERIAL_MESSAGE = "シリアルでエラーが発生しました"


def baud_record(rate):
    return struct.pack("<BBII", 4, 0, 0x1B0004, rate)


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
        # Start-up failures end with status 2 before any network activity; a
        # session error with status 1 after the running note.
        cases = [("com=3\n", 2, SETTINGS_MESSAGE), ("host=\nport=%d\ncom=3\n" % self.port, 2, SETTINGS_MESSAGE),
                 (self.host + "com=3\nline=9X1\n", 2, SETTINGS_MESSAGE),
                 (self.host + "com=3\nprotocol=x\n", 2, SETTINGS_MESSAGE),
                 (self.host + "com=4\n", 2, SERIAL_MESSAGE), (self.host + "com=5\n", 2, SERIAL_MESSAGE),
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

    def test_session_outlives_the_data_connection_but_not_the_control_connection(self):
        client, note = self.running()
        self.server.settimeout(support.SAFETY_SECONDS)
        control, peer = self.server.accept()
        self.addCleanup(control.close)
        control.settimeout(support.SAFETY_SECONDS)
        wire = control.recv(3)
        self.assertEqual(len(wire), 2)
        data = socket.create_connection((peer[0], struct.unpack(">H", wire)[0]), support.SAFETY_SECONDS)
        self.assertEqual(len(support.receive_exactly(control, 53)), 53)  # the first report
        app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, app)
        settings = termios.tcgetattr(app)

        data.close()
        # Control requests still go to the server, and nothing is shown.
        os.write(app, b"nobody hears this")
        settings[4] = settings[5] = termios.B1200
        termios.tcsetattr(app, termios.TCSANOW, settings)
        self.assertEqual(support.receive_exactly(control, 10), baud_record(1200))
        self.assertIsNone(client.process.poll())

        control.close()
        # The first send after the close may still be taken (the peer answers
        # it with a reset); a later one fails and the program ends.
        for speed in (termios.B2400, termios.B1200) * 100:
            settings[4] = settings[5] = speed
            termios.tcsetattr(app, termios.TCSANOW, settings)
            if client.wait_for_line("send ioctl error", 0.1):
                break
        self.assertEqual(client.wait(), 1)
        self.assertEqual(client.text().splitlines(), [note.group(0), TITLE + ": send ioctl error"])
        self.assertFalse(os.path.lexists(self.link))


if __name__ == "__main__":
    CLIENT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
