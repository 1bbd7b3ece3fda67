"""The application of the demonstration: pyserial on the client's virtual
port. Usage: /usr/bin/python3 demo_application.py PORT"""

import sys
import time

import serial

port = serial.Serial(sys.argv[1], 9600, timeout=5)
print("  [application] opened %s at %d baud" % (port.name, port.baudrate))
# pyserial flushes the port as it opens it; settings and data travel on
# separate connections, so let that flush reach the server first.
time.sleep(0.2)
for baud, line in ((9600, "hello through morvane"), (115200, "now a little faster")):
    if port.baudrate != baud:
        port.baudrate = baud
        print("  [application] baud rate set to %d" % baud)
        # Likewise, let the server replay the change before the next line.
        time.sleep(0.2)
    port.write(line.encode() + b"\n")
    reply = port.readline().decode().strip()
    print("  [application] sent %r, read back %r" % (line, reply))
    if not reply:
        sys.exit("no reply from the device")
port.close()
