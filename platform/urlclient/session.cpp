#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "platform/urlclient/kept.h"
#include "platform/urlclient/transfer.h"

namespace urlclient {

namespace {

// How many GlobalInit objects that set libcurl up are alive. Sessions open only while one is:
// libcurl would otherwise set itself up on the first handle, on whatever thread that is.
std::atomic<int> live_inits{0};

}  // namespace

bool LibcurlSetUp() {
    return live_inits > 0;
}

GlobalInit::GlobalInit() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {
    if (!ok_) return;
    if (live_inits++ == 0) Kept::Begin();
}

GlobalInit::~GlobalInit() {
    if (!ok_) return;
    if (--live_inits == 0) Kept::End();
    curl_global_cleanup();
}

void StopSignal::Stop() {
    // Under the lock, so that no transfer can detach (and then clean up its multi handle) while
    // it is being woken.
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (void* multi : waiting_) curl_multi_wakeup(static_cast<CURLM*>(multi));
}

void StopSignal::Attach(void* multi) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.push_back(multi);
}

void StopSignal::Detach(void* multi) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), multi), waiting_.end());
}

void SessionCloser::operator()(Session* session) const {
    // A URL still open would keep the shared handle in use; closing out of order is a fault of
    // the caller that would otherwise leak, so stop here.
    if (session->open_urls != 0) std::abort();
    delete session;
}

void UrlCloser::operator()(UrlHandle* url) const {
    delete url;
}

SessionPtr OpenSession(const SessionOptions& options) {
    Failure failure;
    return OpenSession(options, failure);
}

SessionPtr OpenSession(const SessionOptions& options, Failure& failure) {
    failure = {};
    auto fail = [&failure](const char* text) {
        failure.kind = Failure::Kind::kNoSession;
        failure.text = text;
        return nullptr;
    };
    if (!LibcurlSetUp()) return fail("libcurl is not set up");
    // What sessions share (cookies, names, TLS sessions and connections) outlives each of them.
    if (Kept::Get() == nullptr) return fail("the shared data of sessions cannot be set up");
    return SessionPtr(new Session{options, 0});
}

}  // namespace urlclient
