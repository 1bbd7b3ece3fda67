# morvane-server in a QEMU guest on real kernel drivers: the 8250 behind a
# 16550 UART (ttyS1) and ftdi_sio behind an FTDI USB adapter (ttyUSB0). Its
# peers are the host's morvane-client, pyserial's rfc2217:// and played
# clients; the test plays the device at the line's host end.
# Arguments: the guest's image folder, the client, then unittest's.
import os
import sys
import unittest

sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", name) for name in ("support", "client")]

import end_to_end_test as e2e  # noqa: E402
import morvane_support as support  # noqa: E402
import serial  # noqa: E402
from guest import Guest  # noqa: E402

IMAGE, e2e.CLIENT = sys.argv.pop(1), os.path.abspath(sys.argv.pop(1))
# An emulated guest on a busy machine pauses longer than a host program.
support.SAFETY_SECONDS = 60
support.read_exactly.__defaults__ = (60,)
# DTR and RTS as boards reset: DTR off, RTS on, RTS off.
STEPS = [("dtr", False), ("dtr", True), ("rts", False), ("rts", True), ("dtr", False), ("rts", True),
         ("rts", False), ("break_condition", True), ("break_condition", False)]


class RealDriver(e2e.BothPrograms):
    @classmethod
    def setUpClass(cls):
        cls.native, cls.rfc2217 = support.free_port(), support.free_port()
        cls.guest = Guest(IMAGE, [(cls.native, 3000), (cls.rfc2217, 4000)])
        cls.addClassCleanup(cls.guest.close)
        cls.url = "rfc2217://127.0.0.1:%d" % cls.rfc2217

    def setUp(self):
        super().setUp()
        self.addCleanup(setattr, self, "device", self.device)  # the base closes its own pty
        self.device = self.guest.uart if self.TTY == "/dev/ttyS1" else self.guest.ftdi
        # A server for each test: one that a fault ended does not fail the next.
        self.guest.sh("printf '[SERVER]\\nport=3000\\nrfc2217=4000\\ninterval=0\\ndevice=%s\\n' > /srv/morvane.ini; "
                "(cd /srv; exec morvane-server 2>log) & echo $! > /srv/pid" % self.TTY)
        self.addCleanup(self.guest.sh, "kill $(cat /srv/pid); wait $(cat /srv/pid)")
        self.assertTrue(self.logged("listening on"), self.log())

    def log(self):
        return self.guest.sh("cat /srv/log")

    def logged(self, text):
        return support.eventually(lambda: text in self.log(), 60)

    def tty(self):
        # Speed, data bits, parity, stop bits, RTS/CTS as the guest's tty holds them.
        text = self.guest.sh("stty -F %s -a 2>/dev/null | head -5" % self.TTY)
        flags = set(text.replace(";", " ").split())
        return (int(text.split()[1]), int(text[text.index(" cs") + 3]),
                ("O" if "parodd" in flags else "E") if "parenb" in flags else "N", 2 if "cstopb" in flags else 1,
                "crtscts" in flags)

    def application(self, speed, app=None):
        # Once the tty shows `speed`, what the application did before has reached the server.
        app = app or serial.Serial(self.start_client(self.native), timeout=120)
        app.baudrate = speed
        self.assertTrue(support.eventually(lambda: self.tty()[0] == speed, 60), self.log())
        return app

    # Native records take the same way to the tty as these commands (server_e2e_test.py).
    def test_2_line_formats_reach_the_tty(self):
        port = serial.serial_for_url(self.url, timeout=120)
        for bits, parity, stop in [(5, "N", 1), (7, "E", 1), (8, "E", 1), (8, "O", 2)]:  # each step valid on the way
            port.apply_settings({"bytesize": bits, "parity": parity, "stopbits": stop})
            self.assertEqual(self.tty()[1:4], (bits, parity, stop))
        port.close()

    def test_3_modem_lines_and_break_in_order(self):
        port = serial.serial_for_url(self.url, timeout=120)
        lines = dict(zip(("dtr", "rts", "break_condition"), self.lines()))
        for name, on in STEPS:
            setattr(port, name, on)
            lines[name] = on
            self.assertTrue(support.eventually(lambda: self.lines() == tuple(lines.values()), 60),
                            "%s %s: %s" % (name, on, self.lines()))
        # A client that leaves with the break on does not leave it on the line.
        port.break_condition = True
        port.close()
        self.assertTrue(self.logged("session ended"), self.log())
        self.assertTrue(support.eventually(lambda: not self.lines()[2], 60), self.lines())


class Uart(RealDriver):
    TTY = "/dev/ttyS1"

    def lines(self):
        # DTR, RTS and break in the UART's modem-control and line-control registers.
        mcr, lcr = map(int, self.guest.sh("for r in 764 763; do dd if=/dev/port bs=1 skip=$r count=1 2>/dev/null | "
                                    "hexdump -e '/1 \"%d \"'; done").split())
        return bool(mcr & 1), bool(mcr & 2), bool(lcr & 64)

    def test_1_speeds_and_one_the_uart_cannot_run(self):
        port = serial.serial_for_url(self.url, timeout=120)
        for speed in [300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200]:
            port.baudrate = speed  # pyserial fails unless the server answers the speed set
            self.assertEqual(self.tty()[0], speed)
        with self.assertRaisesRegex(ValueError, "rejected"):
            port.baudrate = 250000
        self.assertEqual(self.tty()[0], 115200)
        port.close()
        app = self.application(300)  # each speed's own value: through RFC 2217 above
        app.baudrate = 250000
        self.assertTrue(self.logged(" refused ("), self.log())
        self.assert_both_ways_intact(self.application(9600, app).write, app.read, 64)

    def test_4_rts_cts_holds_output_and_the_next_session_starts_clean(self):
        app = serial.Serial(self.start_client(self.native), 115200, rtscts=True)
        self.assertTrue(support.eventually(lambda: self.tty()[4], 60))
        app.write(b"S" * 2048)
        self.application(57600, app)  # a change after the bytes: they are in the tty
        self.client.stop()
        self.assertTrue(self.logged("2048 bytes to the port (2048 of them still waiting"), self.log())
        self.assertEqual(support.read_exactly(self.device.master, 1, 0), b"")
        app = serial.Serial(self.start_client(self.native), 115200, rtscts=False)
        self.assertTrue(support.eventually(lambda: not self.tty()[4], 60))
        app.write(b"N" * 100)
        self.assertEqual(self.device.receive(100), b"N" * 100)  # nothing the previous client left


class Ftdi(RealDriver):
    TTY = "/dev/ttyUSB0"

    def lines(self):
        return self.guest.ftdi_lines()

    def test_5_a_mebibyte_at_921600_then_unplug_ends_the_session_and_replug_serves_the_next(self):
        app = self.application(921600)
        self.assert_both_ways_intact(app.write, app.read, 1 << 20)
        self.guest.plug(False)
        self.assertIsNotNone(self.client.wait_for_line(e2e.LOST, 60), self.client.text())
        self.assertTrue(self.logged("lost; clients are turned away"), self.log())
        self.guest.plug(True)
        self.assertTrue(self.logged("open again"), self.log())
        app = self.application(57600)
        self.assert_both_ways_intact(app.write, app.read, 4096)

    def test_6_unplug_between_sessions_is_noticed(self):
        self.guest.plug(False)
        self.assertTrue(self.logged(" lost"), self.log())
        self.guest.plug(True)
        self.assertTrue(self.logged("open again"), self.log() + self.guest.sh("ls /dev/ttyUSB*"))
        client = support.FakeClient(self.native).connect(60)
        self.assert_both_ways_intact(client.data.sendall, client.receive, 4096)
        client.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
