#include "platform/urlclient/kept.h"

#include "platform/urlclient/url_client.h"

#include <atomic>

namespace urlclient {

namespace {

// Plain pointers, with nothing to destroy at exit: a GlobalInit that is itself a static may end
// after them.
std::mutex g_kept_mutex;
Kept* g_kept = nullptr;
std::atomic<Kept*> g_kept_now{nullptr};

}  // namespace

Kept* Kept::Get() {
    return g_kept_now.load(std::memory_order_acquire);
}

void Kept::Begin() {
    std::lock_guard<std::mutex> lock(g_kept_mutex);
    if (g_kept != nullptr) return;
    auto kept = std::unique_ptr<Kept>(new Kept());
    if (!kept->share_) return;
    g_kept = kept.release();
    g_kept_now.store(g_kept, std::memory_order_release);
}

void Kept::End() {
    std::lock_guard<std::mutex> lock(g_kept_mutex);
    g_kept_now.store(nullptr, std::memory_order_release);
    delete g_kept;
    g_kept = nullptr;
}

Kept::Kept() {
    share_.reset(curl_share_init());
    const bool ok =
        share_ && curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, &Kept::Lock) == CURLSHE_OK &&
        curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, &Kept::Unlock) == CURLSHE_OK &&
        curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, this) == CURLSHE_OK &&
        curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) == CURLSHE_OK &&
        curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
        curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (!ok) {
        share_.reset();
        return;
    }
    closer_ = std::thread([this] { CloseWhenIdle(); });
}

Kept::~Kept() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    if (closer_.joinable()) closer_.join();
    // The connections first: closing them may still look at the share (a TLS session ending).
    multi_.reset();
    share_.reset();
}

void Kept::Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Kept*>(user)->locks_[data].lock();
}

void Kept::Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Kept*>(user)->locks_[data].unlock();
}

CURLM* Kept::Lend() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lent_) return nullptr;
    if (!multi_) {
        multi_.reset(curl_multi_init());
        if (!multi_ ||
            curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, kMaxConnections) != CURLM_OK) {
            multi_.reset();
            return nullptr;
        }
    }
    lent_ = true;
    return multi_.get();
}

void Kept::GiveBack(CURLM* multi) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (multi != multi_.get()) return;
        lent_ = false;
        given_back_ = std::chrono::steady_clock::now();
    }
    changed_.notify_all();
}

bool Kept::HoldsConnections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return multi_ != nullptr;
}

void Kept::CloseConnections() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lent_) multi_.reset();
}

void CloseKeptConnections() {
    if (Kept* kept = Kept::Get()) kept->CloseConnections();
}

void Kept::SetIdleTime(std::chrono::milliseconds idle_time) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_time_ = idle_time;
    }
    changed_.notify_all();
}

void Kept::CloseWhenIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ending_) {
        if (!multi_ || lent_) {
            changed_.wait(lock);
            continue;
        }
        const auto due = given_back_ + idle_time_;
        if (std::chrono::steady_clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        // Idle for the whole time: its connections are closed with it. No ftp connection is
        // kept, so closing waits for no server's answer.
        multi_.reset();
    }
}

}  // namespace urlclient
