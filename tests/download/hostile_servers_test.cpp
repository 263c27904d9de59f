// DownloadBytes against servers that misbehave on purpose. Whatever they do, the call must end with
// the right result, leave no descriptor or connection open, and keep its memory bounded.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "download/module1.h"
#include "tests/support/loopback_server.h"
#include "tests/support/memory_usage.h"
#include "tests/support/scoped_env.h"
#include "tests/support/tls_server.h"

using namespace recvhtml::test;

#ifdef __SANITIZE_ADDRESS__
// With AddressSanitizer's default quarantine (256 MiB) the blocks of a capped body can stay
// resident after the call for as long as the sanitizer likes, and the memory checks below would
// measure the sanitizer rather than the download.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
#endif

namespace {

const urlclient::GlobalInit g_curl;

constexpr std::size_t kMiB = 1 << 20;
constexpr std::size_t kCap = 256 * kMiB;  // the client's default cap on a body
// What may stay resident once a capped download has returned: far below the cap, so a body that
// was not released shows, with room for the allocator's and the sanitizer's own keeping.
constexpr std::size_t kAfterBound = 64 * kMiB;
// The array doubles on its way to the cap, so the old and new blocks may meet once. Under
// AddressSanitizer freed blocks wait in its quarantine before going back; it is kept small below.
#ifdef __SANITIZE_ADDRESS__
constexpr std::size_t kPeakBound = 2 * kCap + 64 * kMiB + 256 * kMiB;
#else
constexpr std::size_t kPeakBound = 2 * kCap + 64 * kMiB;
#endif

class HostileServerTest : public testing::Test {
protected:
    void SetUp() override {
        limits_.connect_timeout = milliseconds(2000);
        limits_.stall_timeout = milliseconds(400);
        // The first download of a process starts what stays for the next ones (the program that
        // reads the desktop's proxy settings): only what a download leaves behind is counted.
        server_.Serve("/warm-up", Reply::Ok("w"));
        std::vector<std::uint8_t> body;
        Module1::DownloadBytes(QString::fromStdString(server_.Url("/warm-up")), body, QString(),
                               limits_);
        urlclient::CloseKeptConnections();
        ASSERT_TRUE(server_.WaitUntilIdle());
    }

    struct Outcome {
        std::int32_t result;
        std::vector<std::uint8_t> body;
        std::size_t peak_growth;   // peak resident memory during the call, above the start
        std::size_t after_growth;  // resident memory after the array is gone, above the start
    };

    // Downloads `url` into an array that starts as {1, 2, 3}, measuring memory around the call and
    // checking that no descriptor stays open and the server sees every connection closed.
    Outcome Fetch(const std::string& url) {
        const std::size_t fds_before = OpenFileDescriptorCount();
        const std::size_t rss_before = CurrentRssBytes();
        const bool peak_reset = ResetPeakRss();
        Outcome out;
        {
            std::vector<std::uint8_t> body{1, 2, 3};
            out.result =
                Module1::DownloadBytes(QString::fromStdString(url), body, QString(), limits_);
            out.peak_growth = peak_reset ? Sub(PeakRssBytes(), rss_before) : 0;
            out.body = std::move(body);
        }
        // A connection kept for the next fetch is not one left open.
        urlclient::CloseKeptConnections();
        EXPECT_TRUE(server_.WaitUntilIdle()) << url;
        // Shown in the test's XML output, for reading the figures without a debugger.
        testing::Test::RecordProperty("peak_growth_kib " + url.substr(url.rfind('/')),
                                      std::to_string(out.peak_growth / 1024));
        // Only the array the test kept may still hold memory.
        out.after_growth = Sub(Sub(CurrentRssBytes(), out.body.capacity()), rss_before);
        EXPECT_EQ(OpenFileDescriptorCount(), fds_before) << url;
        return out;
    }

    static std::size_t Sub(std::size_t a, std::size_t b) { return a > b ? a - b : 0; }

    NoProxySettings no_proxy_settings_;
    urlclient::Limits limits_;
    LoopbackServer server_;
};

// The default cap, to the byte. The server sends a pattern over and over, closing the connection
// once the body has its size, so it holds no body that large itself.
TEST_F(HostileServerTest, BodyEndsAtTheDefaultCapToTheByte) {
    const std::string pattern = PatternBytes(kMiB);
    struct Case {
        const char* path;
        Framing framing;
        std::size_t size;  // Reply::kNever: endless
        std::size_t want;
    } cases[] = {
        {"/exactly-the-cap", Framing::kUntilClose, kCap, kCap},
        {"/one-byte-more", Framing::kUntilClose, kCap + 1, 0},
        {"/endless-chunked", Framing::kChunked, Reply::kNever, 0},
    };
    for (const auto& c : cases) {
        Reply reply = Reply::Ok(pattern);
        reply.endless = true;
        reply.framing = c.framing;
        reply.cut_after = c.size;
        server_.Serve(c.path, reply);
        Outcome out = Fetch(server_.Url(c.path));
        EXPECT_EQ(out.result, static_cast<std::int32_t>(c.want)) << c.path;
        ASSERT_EQ(out.body.size(), c.want) << c.path;
        std::size_t differing_pieces = 0;
        for (std::size_t at = 0; at < out.body.size(); at += pattern.size()) {
            const std::size_t n = std::min(pattern.size(), out.body.size() - at);
            if (std::memcmp(out.body.data() + at, pattern.data(), n) != 0) ++differing_pieces;
        }
        EXPECT_EQ(differing_pieces, 0u) << c.path;
        if (c.want == 0) {
            EXPECT_EQ(out.body.capacity(), 0u) << c.path;
        }
        EXPECT_LT(out.peak_growth, kPeakBound) << c.path;
        EXPECT_LT(out.after_growth, kAfterBound) << c.path;
    }
}

TEST_F(HostileServerTest, CompressedBodyExpandingPastTheCapEndsAtTheCap) {
    // Zeros compress about a thousandfold: a few hundred KiB on the wire pass the cap decoded.
    for (Framing framing : {Framing::kChunked, Framing::kUntilClose}) {
        Reply reply = Reply::Ok(std::string(kMiB, '\0'));
        reply.endless = true;
        reply.gzip = true;
        reply.framing = framing;
        server_.Serve("/bomb", reply);
        Outcome out = Fetch(server_.Url("/bomb"));
        EXPECT_EQ(out.result, 0);
        EXPECT_TRUE(out.body.empty());
        EXPECT_LT(out.peak_growth, kPeakBound);
        EXPECT_LT(out.after_growth, kAfterBound);
    }
    // A small declared length does not let the decoded body past the cap either.
    limits_.max_body_bytes = 16 * kMiB;
    Reply small = Reply::Ok(std::string(17 * kMiB, '\0'));
    small.gzip = true;
    server_.Serve("/declared-bomb", std::move(small));
    Outcome out = Fetch(server_.Url("/declared-bomb"));
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(out.body.empty());
}

TEST_F(HostileServerTest, RedirectLoopGivesZero) {
    server_.Serve("/self", Reply::Redirect(302, "/self"));
    server_.Serve("/ping", Reply::Redirect(301, "/pong"));
    server_.Serve("/pong", Reply::Redirect(307, "/ping"));
    const std::size_t before = server_.RequestCount();
    for (const char* path : {"/self", "/ping"}) {
        Outcome out = Fetch(server_.Url(path));
        EXPECT_EQ(out.result, 0) << path;
        EXPECT_EQ(out.body, (std::vector<std::uint8_t>{1, 2, 3})) << path;  // never opened
        EXPECT_LT(out.peak_growth, 32 * kMiB);
    }
    // The first request and ten redirects, each.
    EXPECT_EQ(server_.RequestCount() - before, 2u * 11u);
}

TEST_F(HostileServerTest, EndlessResponseHeadGivesZero) {
    Reply reply;
    reply.special = Special::kEndlessHead;
    server_.Serve("/head", reply);
    Outcome out = Fetch(server_.Url("/head"));
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.body, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_LT(out.peak_growth, 32 * kMiB);
}

TEST_F(HostileServerTest, SilentServerIsEndedByTheStallTime) {
    Reply never;
    never.special = Special::kNeverAnswer;
    Reply unread;
    unread.special = Special::kSilent;
    Reply mid_head;  // half a head, then silence
    mid_head.special = Special::kRaw;
    mid_head.body = "HTTP/1.1 200 OK\r\nContent-Le";
    mid_head.stall_after = mid_head.body.size();
    server_.Serve("/never", never);
    server_.Serve("/unread", unread);
    server_.Serve("/half-head", mid_head);
    for (const char* path : {"/never", "/unread", "/half-head"}) {
        Outcome out = Fetch(server_.Url(path));
        EXPECT_EQ(out.result, 0) << path;
        EXPECT_EQ(out.body, (std::vector<std::uint8_t>{1, 2, 3})) << path;
    }
    // A body that stalls before its first byte gives an emptied array.
    Reply stalls = Reply::Ok(PatternBytes(1000));
    stalls.stall_after = 0;
    server_.Serve("/stalls", stalls);
    Outcome out = Fetch(server_.Url("/stalls"));
    EXPECT_EQ(out.result, 0);
    EXPECT_TRUE(out.body.empty());
}

TEST_F(HostileServerTest, GarbageInsteadOfHttpGivesZero) {
    struct Case {
        const char* name;
        std::string raw;
    } cases[] = {
        {"random bytes", PatternBytes(5000)},
        {"text, no status line", "Hello there\r\n\r\nthis is not http"},
        {"status code not a number", "HTTP/1.1 abc OK\r\nContent-Length: 2\r\n\r\nhi"},
        {"nul bytes", std::string(64, '\0')},
    };
    for (const auto& c : cases) {
        Reply reply;
        reply.special = Special::kRaw;
        reply.body = c.raw;
        server_.Serve("/garbage", reply);
        Outcome out = Fetch(server_.Url("/garbage"));
        EXPECT_EQ(out.result, 0) << c.name;
        EXPECT_EQ(out.body, (std::vector<std::uint8_t>{1, 2, 3})) << c.name;
    }
}

TEST_F(HostileServerTest, BrokenBodyEncodingGivesWhatDecodedCleanly) {
    // A head that is fine, then a body that breaks its own framing or encoding: what came before
    // the break is the page, and with nothing before it the array is emptied. A head that is
    // itself broken opens nothing, and the array is left alone.
    struct Case {
        const char* name;
        std::string raw;
        std::int32_t result;
        std::vector<std::uint8_t> body;
    } cases[] = {
        {"bad chunk size after a good chunk",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
         "5\r\nhello\r\nzzzz\r\nabc\r\n0\r\n\r\n",
         5,
         {'h', 'e', 'l', 'l', 'o'}},
        {"not gzip",
         "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 20\r\n\r\n" +
             std::string(20, 'x'),
         0,
         {}},
        {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nabcde", 0, {1, 2, 3}},
    };
    for (const auto& c : cases) {
        Reply reply;
        reply.special = Special::kRaw;
        reply.body = c.raw;
        server_.Serve("/broken", reply);
        Outcome out = Fetch(server_.Url("/broken"));
        EXPECT_EQ(out.result, c.result) << c.name;
        EXPECT_EQ(out.body, c.body) << c.name;
    }
}

TEST_F(HostileServerTest, SelfSignedCertificateIsRefused) {
    TlsServer tls;
    urlclient::CloseKeptConnections();
    const std::size_t fds_before = OpenFileDescriptorCount();
    for (const std::string& url :
         {tls.Url("/"), "https://localhost:" + std::to_string(tls.Port()) + "/"}) {
        std::vector<std::uint8_t> body{1, 2, 3};
        EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(url), body, QString(), limits_), 0)
            << url;
        EXPECT_EQ(body, (std::vector<std::uint8_t>{1, 2, 3})) << url;
    }
    // The client reached the server and refused it during the handshake.
    EXPECT_GE(tls.ConnectionCount(), 2u);
    EXPECT_EQ(tls.RequestCount(), 0u);
    EXPECT_TRUE(tls.WaitUntilIdle());
    urlclient::CloseKeptConnections();
    EXPECT_EQ(OpenFileDescriptorCount(), fds_before);
}

TEST_F(HostileServerTest, DrippingServerWithinTheStallTimeDeliversTheWholeBody) {
    Reply reply = Reply::Ok(PatternBytes(300));
    reply.drip = milliseconds(1);  // every byte, head included, on its own
    reply.framing = Framing::kChunked;
    reply.chunk_size = 7;
    server_.Serve("/drip", reply);
    Outcome out = Fetch(server_.Url("/drip"));
    EXPECT_EQ(out.result, 300);
    EXPECT_TRUE(std::string(out.body.begin(), out.body.end()) == reply.body);
}

}  // namespace
