# RFC 2217 with peers we did not write (pyserial, hostile Telnet input,
# ser2net 4), and our two programs running the demonstration together.

import os
import socket
import subprocess
import sys
import termios
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.join(HERE, "..", "..", "scripts")
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import morvane_support as support  # noqa: E402
import serial  # noqa: E402  (python3-serial)

SERVER = CLIENT = None
IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254
CLIENT_NOTE = r"^WIN morvane Client: virtual port (\S+) ->"


def command(number, value=b""):
    return bytes([IAC, SB, 44, number]) + value + bytes([IAC, SE])


class Peers(support.ProgramTest):
    def process(self, arguments):
        process = subprocess.Popen(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (process.terminate(), process.wait(support.SAFETY_SECONDS)))

    def start_server(self, device=None, port=None):
        port = port or support.free_port()
        self.server = server = self.program(SERVER, "SERVER", port=0, client=support.LOOPBACK, interval=0, rfc2217=port,
                                            device=device or self.device.slave_path).listening()
        self.addCleanup(lambda: self.assertEqual(server.stop(), 0, server.text()))
        return port

    def start_client(self, port, reconnect=0):
        client = self.program(CLIENT, "CLIENT", host=support.LOOPBACK, port=port, com=3, protocol="rfc2217",
                              reconnect=reconnect)
        self.addCleanup(lambda: self.assertEqual(client.stop(), 0, client.text()))
        self.assertIsNotNone(client.wait_for_line(CLIENT_NOTE), client.text())
        return os.path.join(client.directory, "com3")

    def assert_both_ways_intact(self, app):
        up, down = os.urandom(256 << 10) + b"\xff\xff", os.urandom(256 << 10) + b"\xff"  # IAC last
        at_device, received = support.both_ways(self.device, app.write, app.read, up, down)
        self.assertTrue(at_device == up, "to the device: %d of %d bytes" % (len(at_device), len(up)))
        self.assertTrue(received == down, "from the device: %d of %d bytes" % (len(received), len(down)))

    def test_hostile_input_then_a_pyserial_client_against_the_server(self):
        port = self.start_server()
        raw = socket.create_connection((support.LOOPBACK, port), timeout=support.SAFETY_SECONDS)
        raw.sendall(bytes([IAC, WILL, 24, IAC, DO, 1]))  # options nobody offered
        raw.sendall(bytes([IAC, SB, 44, 1]) + b"\x00" * (1 << 20) + bytes([IAC, SE]))  # 1 MiB, dropped
        raw.sendall(b"a" + bytes([IAC]))  # a doubled IAC cut in two
        raw.sendall(bytes([IAC]) + b"b")
        raw.sendall(bytes([IAC, SB, 44, 2]) + command(99, b"\x00") + bytes([IAC, SB, 44]))  # cut short, unknown
        raw.sendall(bytes([2, 7, IAC, SE]))  # SET-DATASIZE 7 after all
        self.assertEqual(self.device.receive(3), b"a\xffb")
        replies = b""
        answer = command(102, b"\x08")  # the size in effect: a pty keeps 8
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
        app = serial.serial_for_url("rfc2217://127.0.0.1:%d?ign_set_control&poll_modem&timeout=1" % port,
                                    baudrate=57600, timeout=support.SAFETY_SECONDS)
        self.assertEqual(self.device.settings().ospeed, 57600)
        self.assertFalse(app.cts)  # a poll answered: a pty has no modem lines
        app.baudrate = 115200
        self.assertEqual(self.device.settings().ospeed, 115200)
        # A pty holds neither: the answers carry 8 bits, no parity.
        for name, wanted, usual in (("bytesize", 7, 8), ("parity", "E", "N")):
            with self.assertRaisesRegex(ValueError, "rejected value"):
                setattr(app, name, wanted)
            setattr(app, name, usual)
        self.assert_both_ways_intact(app)
        app.close()

    def test_client_against_ser2net(self):
        port = support.free_port()
        settings = os.path.join(self.directory, "ser2net.yaml")
        with open(settings, "w", encoding="utf-8") as file:
            file.write("%%YAML 1.1\n---\nconnection: &con1\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                       "  enable: on\n  connector: serialdev,%s,9600n81,local\n" % (port, self.device.slave_path))
        self.process(["ser2net", "-n", "-d", "-c", settings])
        self.assertTrue(support.eventually(lambda: not support.port_is_free(port)), "ser2net does not listen")
        app = serial.Serial(self.start_client(port), 9600, timeout=support.SAFETY_SECONDS)
        app.baudrate = 115200
        app.stopbits = serial.STOPBITS_TWO
        self.assertTrue(support.eventually(lambda: self.device.settings().ospeed == 115200))
        self.assertTrue(support.eventually(lambda: self.device.settings().cflag & termios.CSTOPB))
        self.assert_both_ways_intact(app)
        app.close()

    def test_client_reconnects_and_sets_the_port_again(self):
        port = self.start_server()
        app = serial.Serial(self.start_client(port, reconnect=1), 38400, timeout=support.SAFETY_SECONDS)
        self.assertTrue(support.eventually(lambda: self.device.settings().ospeed == 38400))
        self.assertEqual(self.server.stop(), 0)
        self.start_server(port=port)  # opens the port at 9600 again
        self.assertTrue(support.eventually(lambda: self.device.settings().ospeed == 38400))
        app.write(b"again")
        self.assertEqual(self.device.receive(5), b"again")
        app.close()

    def test_client_and_server_run_the_demonstration(self):
        path_file = os.path.join(self.directory, "device-path")
        self.process(["/usr/bin/python3", os.path.join(SCRIPTS, "device_simulator.py"), path_file])
        self.assertTrue(support.eventually(lambda: os.path.exists(path_file)), "no simulated device")
        with open(path_file, encoding="utf-8") as file:
            device = file.read().strip()
        link = self.start_client(self.start_server(device))
        demo = subprocess.run(["/usr/bin/python3", os.path.join(SCRIPTS, "demo_application.py"), link],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(demo.returncode, 0, demo.stdout + demo.stderr)
        self.assertIn("my line runs at 115200 baud", demo.stdout)


if __name__ == "__main__":
    SERVER, CLIENT = os.path.abspath(sys.argv.pop(1)), os.path.abspath(sys.argv.pop(1))
    unittest.main()
