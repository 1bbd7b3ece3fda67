// How a session ends, from any of its threads: the first cause is kept, and
// every later call learns that the session is already ending.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>

namespace net {

template <typename Cause>
class SessionLatch {
public:
    // True for the one call that ended the session.
    bool end(Cause why) {
        std::lock_guard<std::mutex> lock(mutex);
        if (done.load()) return false;
        first = std::move(why);
        done.store(true);
        return true;
    }
    // Cheap enough for a pump to ask before every piece.
    bool ended() const { return done.load(); }
    Cause cause() const {
        std::lock_guard<std::mutex> lock(mutex);
        return first;
    }

private:
    mutable std::mutex mutex;
    std::atomic<bool> done{false};
    Cause first{};
};

}  // namespace net
