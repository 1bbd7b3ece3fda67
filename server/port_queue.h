// What a session's network side hands the port, in the order it came: pieces
// of data, and requests (control records, or RFC 2217 commands) that must
// take effect after the data before them and before the data after them.
// The network thread adds; the port writer takes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace server {

class PortQueue {
public:
    struct Item {
        bool request = false;
        std::vector<unsigned char> bytes;
    };

    // Data beyond this waits in the connection: TCP then holds the client
    // back, and a stopped line costs no more memory than this.
    static constexpr size_t dataLimit = 64 * 1024;

    bool hasRoom();
    bool holdsRequest();
    void addData(const unsigned char* data, size_t size);
    void addRequest(const unsigned char* bytes, size_t size);
    // Waits at most `milliseconds` for room; true when there is.
    bool waitForRoom(int milliseconds);
    // Waits for the next item; false once the queue is closed.
    bool take(Item& item);
    // Drops the data waiting (the output was purged), keeping the requests.
    void dropData();
    // Ends every wait: the session is over. What is still queued is dropped.
    void close();

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Item> items;
    size_t dataBytes = 0;
    size_t requests = 0;
    bool closed = false;
};

}  // namespace server
