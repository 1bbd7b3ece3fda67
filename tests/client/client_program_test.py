"""morvane-client as a program, against a fake server on 127.0.0.1: start-up
failures, the symlink's life, the session's errors, the data connection."""

import os
import select
import signal
import socket
import sys
import termios
import unittest

import harness

CLIENT = None


class ClientProgramTest(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch()
        self.link = self.scratch.join("com3")

    def tearDown(self):
        self.scratch.remove()

    def start(self, port, extra=""):
        self.scratch.settings("[CLIENT]\nhost=127.0.0.1\nport=%d\ncom=3\n%s" % (port, extra))
        return harness.Program(CLIENT, self.scratch.path)

    def test_start_up_failures_show_their_message_and_publish_nothing(self):
        server = harness.FakeServer()
        self.addCleanup(server.close)
        os.mkdir(self.scratch.join("com4"))
        with open(self.scratch.join("com5"), "w") as file:
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
                self.scratch.settings("[CLIENT]\n" + body)
                status, lines = harness.Program(CLIENT, self.scratch.path).finish()
                self.assertEqual(status, 2)
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith(harness.TITLE + ": " + message), lines)
                self.assertFalse(os.path.lexists(self.link))
        # Nothing ever connected to the server.
        server.listener.setblocking(False)
        with self.assertRaises(BlockingIOError):
            server.listener.accept()
        with open(self.scratch.join("com5")) as file:
            self.assertEqual(file.read(), "keep me")
        self.assertTrue(os.path.isdir(self.scratch.join("com4")))

    def test_refused_server_is_a_session_error_that_withdraws_the_port(self):
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))  # bound, not listening: refused
        self.addCleanup(closed.close)
        status, lines = self.start(closed.getsockname()[1]).finish()
        self.assertEqual(status, 1)
        self.assertIn(harness.TITLE + ": connect connect error", lines)
        self.assertFalse(os.path.lexists(self.link))

    def test_symlink_lives_as_long_as_the_program(self):
        os.symlink("/dev/pts/left-behind", self.link)
        server = harness.FakeServer()
        self.addCleanup(server.close)
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signal_number):
                client = self.start(server.port)
                note = client.wait_line("virtual port")
                target = os.readlink(self.link)
                self.assertTrue(target.startswith("/dev/pts/"), target)
                self.assertEqual(note, "%s: virtual port ./com3 -> %s, server 127.0.0.1:%d"
                                 % (harness.TITLE, target, server.port))
                status, lines = client.stop(signal_number)
                self.assertEqual((status, lines), (0, [note]))
                self.assertFalse(os.path.lexists(self.link))
        # The "device" key names the path.
        os.mkdir(self.scratch.join("dev"))
        path = self.scratch.join("dev/gps")
        client = self.start(server.port, "device=%s\n" % path)
        client.wait_line("virtual port %s -> /dev/pts/" % path)
        self.assertTrue(os.path.islink(path))
        self.assertFalse(os.path.lexists(self.link))
        client.stop()
        self.assertFalse(os.path.lexists(path))

    def test_session_carries_data_and_survives_the_data_connection_closing(self):
        server = harness.FakeServer()
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
        self.assertEqual(harness.read_fd_exactly(app, len(burst)), burst)
        os.write(app, burst[::-1])
        self.assertEqual(harness.read_exactly(server.data, len(burst)), burst[::-1])

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
        self.assertTrue(client.running())
        status, lines = client.stop()
        self.assertEqual(status, 0)
        self.assertEqual(len(lines), 1, lines)

    def test_lost_control_connection_is_send_ioctl_error(self):
        server = harness.FakeServer()
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
            if select.select([client.process.stderr], [], [], 0.1)[0]:
                break
        status, lines = client.finish()
        self.assertEqual(status, 1)
        self.assertIn(harness.TITLE + ": send ioctl error", lines)
        self.assertFalse(os.path.lexists(self.link))


if __name__ == "__main__":
    CLIENT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
