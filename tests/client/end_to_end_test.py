# The real morvane-server on a pty (the test plays the device on its other
# end) and the real morvane-client, the test the application on its port;
# over RFC 2217 also with peers we did not write (pyserial, hostile Telnet
# input, ser2net 4). Arguments: the server, the client, the test classes.

import fcntl
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.join(HERE, "..", "..", "scripts")
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import morvane_support as support  # noqa: E402
import serial  # noqa: E402  (python3-serial)

CLIENT = None
CLIENT_NOTE = r"^WIN morvane Client: virtual port (\S+) -> (/dev/pts/\d+), server"
LOST = r"^WIN morvane Client: server (closed the connection|lost)"
IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254


class BothPrograms(support.ProgramTest):
    def start_client(self, port, **keys):
        # Its virtual port.
        self.client = self.program(CLIENT, "CLIENT", host=support.LOOPBACK, port=port, com=3, **keys)
        self.assertIsNotNone(self.client.wait_for_line(CLIENT_NOTE), self.client.text())
        return os.path.join(self.client.directory, "com3")

    def assert_both_ways_intact(self, write, read, size):
        # At once; IAC bytes last, for RFC 2217.
        up, down = os.urandom(size) + b"\xff\xff", os.urandom(size) + b"\xff"
        at_device = []
        # Every end writes and reads at the same time: a full pipe on one
        # side must not stall the other.
        threads = [threading.Thread(target=lambda: at_device.append(self.device.receive(len(up)))),
                   threading.Thread(target=self.device.send, args=(down,)), threading.Thread(target=write, args=(up,))]
        for thread in threads:
            thread.start()
        received = read(len(down))
        for thread in threads:
            thread.join()
        self.assertTrue(at_device[0] == up, "to the device: %d of %d bytes" % (len(at_device[0]), len(up)))
        self.assertTrue(received == down, "from the device: %d of %d bytes" % (len(received), len(down)))


class EndToEndTest(BothPrograms):
    def setUp(self):
        super().setUp()
        self.start_server()
        self.link = self.start_client(self.server.port, reconnect=1)

    def port_is_clean(self):
        try:
            fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        except OSError:  # EBUSY while exclusive (root opens anyway)
            return False
        try:
            exclusive = struct.unpack("i", fcntl.ioctl(fd, support.TIOCGEXCL, bytes(4)))[0]
            return exclusive == 0 and termios.tcgetattr(fd)[3] & support.EXTPROC != 0
        finally:
            os.close(fd)

    def test_applications_open_and_close_the_port_again_and_again(self):
        # The purges applications make: records in client_program_test.py,
        # flushes of the server's line in server_e2e_test.py.
        for round_number in range(20):
            app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
            if round_number == 0:  # a mebibyte of random bytes each way at once
                self.assert_both_ways_intact(lambda d: os.write(app, d), lambda n: support.read_exactly(app, n), 1 << 20)
            line = b"ping %02d\n" % round_number
            os.write(app, line)
            self.assertEqual(self.device.receive(len(line)), line)
            self.device.send(line.upper())
            self.assertEqual(support.read_exactly(app, len(line)), line.upper())
            # A program that takes the port for itself and drops EXTPROC:
            # once it closes the port, the client undoes both.
            fcntl.ioctl(app, termios.TIOCEXCL)
            attributes = termios.tcgetattr(app)
            attributes[3] &= ~support.EXTPROC
            termios.tcsetattr(app, termios.TCSANOW, attributes)
            os.close(app)
            self.assertTrue(support.eventually(self.port_is_clean))
        # Both ran all along: nothing shown but the running note.
        self.assertEqual(self.client.stop(), 0)
        self.assertEqual(len(self.client.text().splitlines()), 1, self.client.text())
        self.assertFalse(os.path.lexists(self.link))

    def test_a_restarted_server_gets_the_port_as_the_application_left_it(self):
        # 250000 is not one of the B constants.
        port = serial.Serial(self.link, 250000, stopbits=serial.STOPBITS_TWO, timeout=support.SAFETY_SECONDS)
        self.addCleanup(port.close)
        attributes = termios.tcgetattr(port.fd)
        attributes[6][8:10] = b"\x05", b"\x06"  # VSTART, VSTOP
        termios.tcsetattr(port.fd, termios.TCSANOW, attributes)

        def as_set():
            line = self.device.settings()
            return (line.ospeed, line.cflag & termios.CSTOPB, line.cc[8:10]) == (250000, termios.CSTOPB, b"\x05\x06")

        self.assertTrue(support.eventually(as_set))
        os.kill(self.server.process.pid, signal.SIGKILL)
        self.assertIsNotNone(self.client.wait_for_line(LOST + "; trying again every 1 s$"), self.client.text())
        port.write(b"into the void")
        self.start_server(port=self.server.port)
        self.assertIsNotNone(self.client.wait_for_line("connected again; 13 bytes written meanwhile were discarded$"),
                             self.client.text())
        # The new server started the line at 9600, one stop bit; the client set it back.
        self.assertTrue(support.eventually(as_set))
        port.write(b"and back")
        self.assertEqual(self.device.receive(8), b"and back")
        # More than the port holds, before the application reads: the writes wait again.
        self.device.send(support.pattern(256 << 10))
        self.assertTrue(port.read(256 << 10) == support.pattern(256 << 10))
        self.server.stop()  # a gap with nothing written: its count starts again
        self.start_server(port=self.server.port)
        self.assertIsNotNone(self.client.wait_for_line("connected again; 0 bytes"), self.client.text())


class Order(BothPrograms):
    # An application's requests and data reach the line in the order it made
    # them, through either protocol.
    def answer_lines(self, stop):
        # The device answers each line with the same line upper-cased.
        pending = b""
        while not stop.is_set():
            if select.select([self.device.master], [], [], 0.1)[0]:
                pending += os.read(self.device.master, 1 << 16)
                complete = pending.rfind(b"\n") + 1
                self.device.send(pending[:complete].upper())
                pending = pending[complete:]

    def test_flushes_speed_changes_and_data_in_order_and_after_a_restart(self):
        self.rfc2217 = support.free_port()
        self.start_server(rfc2217=self.rfc2217)
        for protocol, port in (("native", self.server.port), ("rfc2217", self.rfc2217)):
            with self.subTest(protocol=protocol):
                try:
                    self.in_order(protocol, port)
                finally:
                    self.client.stop()

    def in_order(self, protocol, port):
        app = serial.Serial(self.start_client(port, protocol=protocol, reconnect=1), timeout=support.SAFETY_SECONDS)
        self.addCleanup(app.close)
        # pyserial's open() flushes too. A flush that came late would discard
        # part of the answer.
        stop, lines = threading.Event(), b"".join(b"line %05d %s\n" % (i, b"x" * 88) for i in range(200))
        device = threading.Thread(target=self.answer_lines, args=(stop,))
        device.start()
        self.addCleanup(device.join)
        self.addCleanup(stop.set)
        for _ in range(100):
            app.reset_input_buffer()
            app.write(lines)
            self.assertTrue(app.read(len(lines)) == lines.upper())
        stop.set()
        device.join()
        # Bytes written at once after a change go at the new speed...
        app.baudrate = 115200
        app.write(b"fast")
        self.assertEqual(self.device.receive(1), b"f")
        self.assertEqual(self.device.settings().ospeed, 115200)
        self.assertEqual(self.device.receive(3), b"ast")
        # ...and bytes written before one at the old speed: held by the
        # device's XOFF, they keep the change waiting behind them.
        app.xonxoff = True
        self.assertTrue(support.eventually(lambda: self.device.settings().iflag & termios.IXON))
        self.device.send(b"\x13")
        # The server's ends of the connections: pieces received, none unread.
        control = support.borrowed_socket(self.server.process.pid, support.borrowed_socket(
            self.client.process.pid, (support.LOOPBACK, port)).getsockname())
        data = control if protocol == "rfc2217" else support.borrowed_socket(self.server.process.pid, (
            support.LOOPBACK, int(self.server.wait_for_line(r"data port (\d+)$").group(1))))
        self.assertTrue(support.taken(data, lambda: app.write(b"slow")))
        self.assertTrue(support.taken(control, lambda: setattr(app, "baudrate", 19200)))
        control.close()
        data.close()
        self.assertEqual(self.device.settings().ospeed, 115200)
        self.device.send(b"\x11")
        self.assertEqual(self.device.receive(4), b"slow")
        self.assertTrue(support.eventually(lambda: self.device.settings().ospeed == 19200))
        # A restarted server, which opens the line at 9600, gets the speed again.
        self.server.stop()
        self.start_server(port=self.server.port, rfc2217=self.rfc2217)
        self.assertTrue(support.eventually(lambda: self.device.settings().ospeed == 19200))
        app.write(b"again")
        self.assertEqual(self.device.receive(5), b"again")


class Peers(BothPrograms):
    def process(self, arguments):
        process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (process.terminate(), process.wait(support.SAFETY_SECONDS)))

    def start_rfc2217_server(self, device=None):
        # Its RFC 2217 port.
        port = support.free_port()
        self.start_server(interval=0, rfc2217=port, device=device or self.device.slave_path)
        return port

    def test_hostile_input_then_a_pyserial_client_against_the_server(self):
        port = self.start_rfc2217_server()
        raw = socket.create_connection((support.LOOPBACK, port), timeout=support.SAFETY_SECONDS)
        raw.sendall(bytes([IAC, WILL, 24, IAC, DO, 1]))  # options nobody offered
        raw.sendall(bytes([IAC, SB, 44, 1]) + b"\x00" * (1 << 20) + bytes([IAC, SE]))  # 1 MiB, dropped
        raw.sendall(b"a" + bytes([IAC]))  # a doubled IAC cut in two
        raw.sendall(bytes([IAC]) + b"b")
        raw.sendall(bytes([IAC, SB, 44, 2, IAC, SB, 44, 99, 0, IAC, SE, IAC, SB, 44]))  # cut short, unknown
        raw.sendall(bytes([2, 7, IAC, SE]))  # SET-DATASIZE 7 after all
        self.assertEqual(self.device.receive(3), b"a\xffb")
        replies = b""
        answer = bytes([IAC, SB, 44, 102, 8, IAC, SE])  # the size in effect: a pty keeps 8
        while answer not in replies:
            piece = raw.recv(4096)
            self.assertTrue(piece, "the server hung up; it said %r" % replies)
            replies += piece
        self.assertIn(bytes([IAC, DONT, 24]), replies)
        self.assertIn(bytes([IAC, WONT, 1]), replies)
        self.assertEqual(replies.count(bytes([IAC, SB])), 1, replies)
        raw.close()

        # The server goes on. pyserial waits for each answer, so a change is
        # in force once set.
        app = serial.serial_for_url("rfc2217://127.0.0.1:%d?ign_set_control&timeout=1" % port,
                                    baudrate=57600, timeout=support.SAFETY_SECONDS)
        self.assertEqual(self.device.settings().ospeed, 57600)
        self.assertFalse(app.cts)  # announced unasked: a pty has no modem lines
        app.xonxoff = True  # both directions
        self.assertEqual(self.device.settings().iflag & (termios.IXON | termios.IXOFF), termios.IXON | termios.IXOFF)
        app.xonxoff = False
        # Each purge clears its own side of the line, which the device's end
        # hears of in packet mode.
        fcntl.ioctl(self.device.master, termios.TIOCPKT, b"\x01\x00\x00\x00")
        for purge, flushed in ((app.reset_input_buffer, termios.TIOCPKT_FLUSHREAD),
                               (app.reset_output_buffer, termios.TIOCPKT_FLUSHWRITE)):
            purge()
            self.assertEqual(self.device.receive(1), bytes([flushed]))
        fcntl.ioctl(self.device.master, termios.TIOCPKT, bytes(4))
        # A pty holds neither: the answers carry 8 bits, no parity.
        for name, wanted, usual in (("bytesize", 7, 8), ("parity", "E", "N")):
            with self.assertRaisesRegex(ValueError, "rejected value"):
                setattr(app, name, wanted)
            setattr(app, name, usual)
        self.assert_both_ways_intact(app.write, app.read, 256 << 10)
        app.close()

    def test_client_against_ser2net(self):
        port = support.free_port()
        settings = os.path.join(self.directory, "ser2net.yaml")
        with open(settings, "w", encoding="utf-8") as file:
            file.write("%%YAML 1.1\n---\nconnection: &con1\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                       "  enable: on\n  connector: serialdev,%s,9600n81,local\n" % (port, self.device.slave_path))
        self.process(["ser2net", "-n", "-d", "-c", settings])
        self.assertTrue(support.eventually(lambda: not support.port_is_free(port)), "ser2net does not listen")
        app = serial.Serial(self.start_client(port, protocol="rfc2217"), 9600, timeout=support.SAFETY_SECONDS)
        app.baudrate = 115200
        app.stopbits = serial.STOPBITS_TWO
        self.assertTrue(support.eventually(lambda: self.device.settings().ospeed == 115200))
        self.assertTrue(support.eventually(lambda: self.device.settings().cflag & termios.CSTOPB))
        self.assert_both_ways_intact(app.write, app.read, 256 << 10)
        app.close()

    def test_client_and_server_run_the_demonstration(self):
        path_file = os.path.join(self.directory, "device-path")
        self.process(["/usr/bin/python3", os.path.join(SCRIPTS, "device_simulator.py"), path_file])
        self.assertTrue(support.eventually(lambda: os.path.exists(path_file)), "no simulated device")
        with open(path_file, encoding="utf-8") as file:
            device = file.read().strip()
        link = self.start_client(self.start_rfc2217_server(device), protocol="rfc2217")
        demo = subprocess.run(["/usr/bin/python3", os.path.join(SCRIPTS, "demo_application.py"), link],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(demo.returncode, 0, demo.stdout + demo.stderr)
        self.assertIn("my line runs at 115200 baud", demo.stdout)


if __name__ == "__main__":
    support.ProgramTest.SERVER, CLIENT = os.path.abspath(sys.argv.pop(1)), os.path.abspath(sys.argv.pop(1))
    unittest.main()
