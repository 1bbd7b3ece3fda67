#include "server/port_queue.h"

#include <algorithm>
#include <chrono>

namespace server {

namespace {

constexpr size_t mergeLimit = 16 * 1024;

}  // namespace

bool PortQueue::hasRoom() {
    std::lock_guard<std::mutex> lock(mutex);
    return dataBytes < dataLimit;
}

bool PortQueue::holdsRequest() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests > 0;
}

void PortQueue::addData(const unsigned char* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(Item{false, std::vector<unsigned char>(data, data + size)});
        dataBytes += size;
    }
    changed.notify_all();
}

void PortQueue::addRequest(const unsigned char* bytes, size_t size) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(Item{true, std::vector<unsigned char>(bytes, bytes + size)});
        ++requests;
    }
    changed.notify_all();
}

bool PortQueue::waitForRoom(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [this] { return closed || dataBytes < dataLimit; }) &&
           !closed;
}

bool PortQueue::take(Item& item) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return closed || !items.empty(); });
    if (closed) return false;
    item = std::move(items.front());
    items.pop_front();
    if (item.request) {
        --requests;
    } else {
        // Pieces that wait side by side go to the port in one write.
        while (!items.empty() && !items.front().request && item.bytes.size() < mergeLimit) {
            item.bytes.insert(item.bytes.end(), items.front().bytes.begin(), items.front().bytes.end());
            items.pop_front();
        }
        dataBytes -= item.bytes.size();
    }
    lock.unlock();
    changed.notify_all();
    return true;
}

void PortQueue::dropData() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        items.erase(std::remove_if(items.begin(), items.end(), [](const Item& item) { return !item.request; }),
                    items.end());
        dataBytes = 0;
    }
    // The reader may wait for the room this made.
    changed.notify_all();
}

void PortQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        items.clear();
        dataBytes = 0;
        requests = 0;
    }
    changed.notify_all();
}

}  // namespace server
