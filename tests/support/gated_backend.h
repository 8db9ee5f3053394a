// A backend in front of another at which the commands of other threads (an update thread) wait,
// one step at a time, until the test's own thread lets them through: between two commands of the
// update the test can do whatever a user or a notification would. Commands of the test's thread
// pass at once and are noted against `acting` when it is set.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/backend.h"

namespace testsupport {

class GatedBackend final : public transport::Backend {
public:
    explicit GatedBackend(transport::Backend& inner) : inner_(inner), own_(std::this_thread::get_id()) {}

    transport::Result execute(const transport::Request& r) override {
        const bool other = std::this_thread::get_id() != own_;
        std::unique_lock<std::mutex> lock(mutex_);
        if (other) {
            if (!open_) {
                const unsigned ticket = ++arrived_;
                cv_.notify_all();
                cv_.wait(lock, [&] { return open_ || released_ >= ticket; });
            }
            if (r.dir == transport::Direction::Out) {
                std::vector<uint8_t> c(r.cdb, r.cdb + r.cdbLen);
                if (r.data) c.insert(c.end(), r.data, r.data + r.xferLen);
                writes.push_back(std::move(c));
            }
        } else if (!acting.empty()) {
            strays.push_back(acting + " sent opcode " + std::to_string(r.cdb[0]));
        }
        lock.unlock();
        return inner_.execute(r);
    }

    // The test's thread: true when a command of another thread waits at the gate (within `ms`).
    bool waitForHeld(unsigned ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return arrived_ > released_; });
    }
    // Lets the waiting commands through; the next ones wait again.
    void releaseHeld() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = arrived_;
        cv_.notify_all();
    }
    // Lets everything through from now on.
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }

    std::string acting;                          // what the test's thread is doing now
    std::vector<std::string> strays;             // commands the test's thread sent while acting
    std::vector<std::vector<uint8_t>> writes;    // data-out commands of other threads: CDB, data

private:
    transport::Backend& inner_;
    std::thread::id own_;
    std::mutex mutex_;
    std::condition_variable cv_;
    unsigned arrived_ = 0, released_ = 0;
    bool open_ = false;
};

}  // namespace testsupport
