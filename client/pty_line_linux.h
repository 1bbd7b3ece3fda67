// The settings of the pseudo-terminal behind the Linux port, read and set
// through its master. Kept apart: the kernel's termios2 cannot share a
// translation unit with the C library's termios.h.
#pragma once

#include "client/control_records.h"

namespace client {

// A serial port's start: raw, 9600 bits/s, EXTPROC (so that every change an
// application makes is reported to the master), and the stop bits and
// odd/mark/space parity of `line`.
bool prepareLine(int master, const LineFormat& line);

// What the application set; data bits, and even or no parity, which a
// pseudo-terminal drops, come from `line`. `reported`, when given, says
// whether changes are reported to the master (EXTPROC set).
bool readPortState(int master, const LineFormat& line, PortState& state, bool* reported = nullptr);

// Some programs clear EXTPROC; with it gone no change is reported until it
// is set again.
void restoreExtproc(int master);

}  // namespace client
