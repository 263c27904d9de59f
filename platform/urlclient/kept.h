#pragma once

// What the URL client keeps from one session to the next for the life of the program, as the
// platform's own client keeps it: cookies the servers set, names looked up, TLS sessions (in
// libcurl's share interface, in memory only), and a few connections left open (in a multi handle
// whose cache holds them). Internal to this folder.

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

namespace urlclient {

class Kept {
public:
    // How many idle connections are kept at most, and how long one is kept idle.
    static constexpr long kMaxConnections = 4;
    static constexpr std::chrono::seconds kIdleTime{60};

    // The one the live GlobalInit made; null when libcurl is not set up.
    static Kept* Get();

    // Made by the first GlobalInit that sets libcurl up, and ended by the last one to go, before
    // libcurl is torn down: every connection still kept is closed then, without waiting for an
    // answer.
    static void Begin();
    static void End();

    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    ~Kept();

    // Cookies, names and TLS sessions, for every transfer. Safe from any thread.
    CURLSH* share() const { return share_.get(); }

    // Lends the multi handle whose cache holds the connections kept, to one URL at a time; null
    // when another URL has it (the caller then uses one of its own, and keeps nothing).
    CURLM* Lend();
    // Gives it back once the URL's transfer is out of it. After the idle time (kIdleTime) with no
    // URL borrowing it, its connections are closed.
    void GiveBack(CURLM* multi);

    // Whether connections are kept open now; closes them now, unless a URL has borrowed them.
    // Tests shorten the idle time.
    bool HoldsConnections();
    void CloseConnections();
    void SetIdleTime(std::chrono::milliseconds idle_time);

private:
    Kept();
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user);
    static void Unlock(CURL*, curl_lock_data data, void* user);
    // Closes the connections once they have been idle for kIdleTime, until the program ends.
    void CloseWhenIdle();

    struct ShareCleanup {
        void operator()(CURLSH* share) const { curl_share_cleanup(share); }
    };
    struct MultiCleanup {
        void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
    };

    std::mutex locks_[CURL_LOCK_DATA_LAST];
    std::unique_ptr<CURLSH, ShareCleanup> share_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<CURLM, MultiCleanup> multi_;  // null: no connection kept
    bool lent_ = false;
    bool ending_ = false;
    std::chrono::steady_clock::duration idle_time_ = kIdleTime;
    std::chrono::steady_clock::time_point given_back_;
    std::thread closer_;
};

}  // namespace urlclient
