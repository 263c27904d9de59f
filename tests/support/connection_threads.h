#pragma once

// The threads that serve connections for the test servers. Finished threads are joined as new ones
// start, so a server that takes many thousands of connections (in a benchmark) does not keep a
// stack for each of them.

#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace recvhtml::test {

class ConnectionThreads {
public:
    ConnectionThreads() = default;
    ConnectionThreads(const ConnectionThreads&) = delete;
    ConnectionThreads& operator=(const ConnectionThreads&) = delete;
    ~ConnectionThreads() { JoinAll(); }

    // Runs `serve` on a new thread.
    template <typename F>
    void Start(F serve) {
        std::vector<std::thread> done;
        {
            std::lock_guard lock(mutex_);
            for (std::uint64_t id : finished_) {
                auto it = running_.find(id);
                done.push_back(std::move(it->second));
                running_.erase(it);
            }
            finished_.clear();
            const std::uint64_t id = next_id_++;
            // The new thread cannot report itself finished before it is in the map: it needs
            // the lock held here.
            running_.emplace(id, std::thread([this, id, serve = std::move(serve)]() mutable {
                                 serve();
                                 std::lock_guard inner(mutex_);
                                 finished_.push_back(id);
                             }));
        }
        for (auto& t : done) t.join();
    }

    // Waits for every thread. Call once nothing starts new ones any more.
    void JoinAll() {
        std::map<std::uint64_t, std::thread> all;
        {
            std::lock_guard lock(mutex_);
            all.swap(running_);
            finished_.clear();
        }
        for (auto& [id, t] : all) t.join();
    }

private:
    std::mutex mutex_;
    std::map<std::uint64_t, std::thread> running_;
    std::vector<std::uint64_t> finished_;
    std::uint64_t next_id_ = 0;
};

}  // namespace recvhtml::test
