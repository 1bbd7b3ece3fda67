# The real morvane-server on a pty (the test plays the device on its other
# end) and the real morvane-client, the test the application on its port.

import fcntl
import os
import select
import signal
import struct
import sys
import termios
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import morvane_support as support  # noqa: E402
import serial  # noqa: E402  (python3-serial)

SERVER = CLIENT = None
TIOCGEXCL, EXTPROC = 0x80045440, 0o200000  # x86-64; not in Python's termios
CLIENT_NOTE = r"^WIN morvane Client: virtual port (\S+) -> (/dev/pts/\d+), server"
LOST = r"^WIN morvane Client: server (closed the connection|lost)"


class EndToEndTest(support.ProgramTest):
    def setUp(self):
        super().setUp()
        self.start_server()
        self.start_client()
        self.link = os.path.join(self.directory, "client", "com3")

    def start_server(self, port=0):
        self.server = self.program(SERVER, "SERVER", port=port, client=support.LOOPBACK,
                                   device=self.device.slave_path).listening()

    def start_client(self, reconnect=0):
        self.client = self.program(CLIENT, "CLIENT", host=support.LOOPBACK, port=self.server.port, com=3,
                                   reconnect=reconnect)
        self.assertIsNotNone(self.client.wait_for_line(CLIENT_NOTE), self.client.text())

    def open_app(self):
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        return fd

    def port_is_clean(self):
        try:
            fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        except OSError:  # EBUSY while exclusive (root opens anyway)
            return False
        try:
            exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, bytes(4)))[0]
            return exclusive == 0 and termios.tcgetattr(fd)[3] & EXTPROC != 0
        finally:
            os.close(fd)

    def assert_quiet_end(self):
        # Both ran all along: nothing shown but the running note.
        self.assertEqual(self.client.stop(), 0)
        self.assertEqual(len(self.client.text().splitlines()), 1, self.client.text())
        self.assertFalse(os.path.lexists(self.link))

    def test_a_mebibyte_of_random_bytes_each_way_at_once(self):
        app = self.open_app()
        up, down = os.urandom(1 << 20), os.urandom(1 << 20)
        at_device, received = support.both_ways(self.device, lambda data: os.write(app, data),
                                                lambda count: support.read_exactly(app, count), up, down)
        self.assertTrue(at_device == up, "application to device: %d of %d bytes" % (len(at_device), len(up)))
        self.assertTrue(received == down, "device to application differs")
        self.assert_quiet_end()

    def test_applications_open_close_and_flush_the_port_again_and_again(self):
        # The device's end in packet mode shows the server's flushes. pyserial
        # flushes the port's input when it opens it; the purge may reach the
        # server after the device's reply and drop it there: wait for it.
        master = self.device.master
        fcntl.ioctl(master, termios.TIOCPKT, b"\x01\x00\x00\x00")

        def packet():
            readable, _, _ = select.select([master], [], [], support.SAFETY_SECONDS)
            self.assertTrue(readable, "the line stays silent")
            return os.read(master, 4096)

        def device_receive(count):
            data = b""
            while len(data) < count:
                piece = packet()
                if piece[0] == termios.TIOCPKT_DATA:
                    data += piece[1:]
            return data

        for round_number in range(20):
            if round_number % 2:
                port = serial.Serial(self.link, 9600, timeout=support.SAFETY_SECONDS)
                while not packet()[0] & termios.TIOCPKT_FLUSHREAD:
                    pass
                port.reset_output_buffer()
                while not packet()[0] & termios.TIOCPKT_FLUSHWRITE:
                    pass
                write, read, close = port.write, port.read, port.close
            else:
                app = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
                write, read, close = (lambda data, fd=app: os.write(fd, data)), \
                    (lambda count, fd=app: support.read_exactly(fd, count)), (lambda fd=app: os.close(fd))
            line = b"ping %02d\n" % round_number
            write(line)
            self.assertEqual(device_receive(len(line)), line)
            self.device.send(line.upper())
            self.assertEqual(read(len(line)), line.upper())
            if round_number == 10:
                # A program that takes the port for itself and drops EXTPROC:
                # once it closes the port, the client undoes both.
                fcntl.ioctl(app, termios.TIOCEXCL)
                attributes = termios.tcgetattr(app)
                attributes[3] &= ~EXTPROC
                termios.tcsetattr(app, termios.TCSANOW, attributes)
            close()
            if round_number == 10:
                self.assertTrue(support.eventually(self.port_is_clean))
        self.assert_quiet_end()

    def kill_server(self):
        os.kill(self.server.process.pid, signal.SIGKILL)
        self.server.wait()

    def test_a_restarted_server_gets_the_port_as_the_application_left_it(self):
        self.client.stop()
        self.start_client(reconnect=1)
        # 250000 is not one of the B constants.
        port = serial.Serial(self.link, 250000, stopbits=serial.STOPBITS_TWO, timeout=support.SAFETY_SECONDS)
        self.addCleanup(port.close)

        def as_set():
            line = self.device.settings()
            return line.ospeed == 250000 and line.cflag & termios.CSTOPB

        self.assertTrue(support.eventually(as_set))
        self.kill_server()
        self.assertIsNotNone(self.client.wait_for_line(LOST + "; trying again every 1 s$"), self.client.text())
        port.write(b"into the void")
        self.start_server(self.server.port)
        self.assertIsNotNone(self.client.wait_for_line("connected again; 13 bytes written meanwhile were discarded$"),
                             self.client.text())
        # The new server started the line at 9600, one stop bit; the client set it back.
        self.assertTrue(support.eventually(as_set))
        port.write(b"and back")
        self.assertEqual(self.device.receive(8), b"and back")
        self.device.send(b"device")
        self.assertEqual(port.read(6), b"device")
        self.assertEqual(self.client.stop(), 0)
        self.assertFalse(os.path.lexists(self.link))

if __name__ == "__main__":
    SERVER, CLIENT = os.path.abspath(sys.argv.pop(1)), os.path.abspath(sys.argv.pop(1))
    unittest.main()
