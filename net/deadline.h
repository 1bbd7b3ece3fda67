// Waits bounded by a point in time, for the waits that take milliseconds.
#pragma once

#include <chrono>

namespace net {

using Clock = std::chrono::steady_clock;

inline Clock::time_point deadlineIn(int milliseconds) { return Clock::now() + std::chrono::milliseconds(milliseconds); }

// What is left of `deadline`, rounded up so that a wait never ends before
// it; 0 once it has passed.
inline int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace net
