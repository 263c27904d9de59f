#include "platform/urlclient/url_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/urlclient/kept.h"
#include "tests/support/loopback_server.h"
#include "tests/support/refusing_port.h"
#include "tests/support/scoped_env.h"
#include "tests/support/tls_server.h"

using namespace recvhtml::test;

namespace {

const urlclient::GlobalInit g_curl;

urlclient::SessionOptions Options() {
    urlclient::SessionOptions o;
    o.agent = "RECV_HTML";
    o.limits.connect_timeout = milliseconds(2000);
    o.limits.stall_timeout = milliseconds(300);
    return o;
}

// Reads the whole body with reads of `step` bytes; returns the last status.
urlclient::ReadStatus ReadAll(urlclient::UrlHandle& url, std::size_t step, std::string& out) {
    std::vector<std::uint8_t> buf(step);
    for (;;) {
        urlclient::ReadResult r = urlclient::Read(url, buf);
        out.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(r.bytes));
        if (r.status != urlclient::ReadStatus::kOk || r.bytes == 0) return r.status;
    }
}

class UrlClientTest : public testing::Test {
protected:
    NoProxySettings no_proxy_settings_;
    LoopbackServer server_;
};

TEST(EncodeUrl, EncodesLikeABrowser) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"http://example.com/a b", "http://example.com/a%20b"},
        {"http://example.com/%E6%97%A5", "http://example.com/%E6%97%A5"},  // already encoded
        {"http://example.com/100%", "http://example.com/100%25"},          // a lone percent
        {"http://example.com/%zz", "http://example.com/%25zz"},
        {"http://example.com/日?q=本#frag", "http://example.com/%E6%97%A5?q=%E6%9C%AC"},
        {"http://example.com?a=<\"x\">", "http://example.com?a=%3C%22x%22%3E"},
        {"http://user:pw@例え.jp:8080/", "http://user:pw@xn--r8jz45g.jp:8080/"},
        {"http://ÉCOLE.fr", "http://xn--cole-9oa.fr"},
        {"ftp://h/a\tb", "ftp://h/a%09b"},
        {"http://h/`{x}\x7F?`{y}", "http://h/%60%7Bx%7D%7F?%60%7By%7D"},
        {"http://h/a/./b;c=d", "http://h/a/./b;c=d"},
    };
    for (const auto& c : cases) EXPECT_EQ(urlclient::EncodeUrl(c.in), c.out) << c.in;
}

// What a reason or a progress line calls a proxy: its host and the port libcurl goes to, never
// the user name and password.
TEST(ProxyHostAndPort, NamesThePortLibcurlUsesAndNoLogin) {
    struct Case {
        const char* url;
        const char* shown;
    } cases[] = {
        {"http://proxy.example.jp:8080", "proxy.example.jp:8080"},
        {"http://proxy.example.jp", "proxy.example.jp:1080"},
        {"proxy.example.jp/", "proxy.example.jp:1080"},
        {"socks5h://proxy.example.jp:", "proxy.example.jp:1080"},
        {"HTTPS://proxy.example.jp", "proxy.example.jp:443"},
        {"http://taro:p@ss@proxy.example.jp", "proxy.example.jp:1080"},
        {"https://taro:secret@[::1]", "[::1]:443"},
        {"http://[::1]:3128/", "[::1]:3128"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(urlclient::ProxyHostAndPort(c.url), c.shown) << c.url;
}

TEST_F(UrlClientTest, ReadsDeliverTheWholeBodyWhateverTheirSize) {
    Reply reply = Reply::Ok(PatternBytes(300000));
    reply.framing = Framing::kChunked;
    reply.gzip = true;
    server_.Serve("/", reply);
    for (std::size_t step :
         {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{1} << 20}) {
        auto session = urlclient::OpenSession(Options());
        ASSERT_TRUE(session);
        auto url = urlclient::OpenUrl(*session, server_.Url("/"), urlclient::kReload);
        ASSERT_TRUE(url);
        std::string body;
        EXPECT_EQ(ReadAll(*url, step, body), urlclient::ReadStatus::kOk) << step;
        EXPECT_TRUE(body == reply.body) << step;
        // The end stays the end.
        std::vector<std::uint8_t> buf(16);
        urlclient::ReadResult again = urlclient::Read(*url, buf);
        EXPECT_EQ(again.status, urlclient::ReadStatus::kOk);
        EXPECT_EQ(again.bytes, 0u);
    }
}

// A body that arrives faster than it is read waits inside libcurl (paused) once the read-ahead is
// held. A read-ahead of 0 pauses at every piece that finds the reader's buffer full, including the
// pieces that come with the head and the last piece of the body.
TEST_F(UrlClientTest, BodyHeldBackForTheReadsArrivesWhole) {
    const std::string body = PatternBytes(300000, 7);
    for (std::size_t read_ahead : {std::size_t{0}, std::size_t{1}, std::size_t{20000}}) {
        for (Framing framing : {Framing::kContentLength, Framing::kChunked, Framing::kUntilClose}) {
            for (bool gzip : {false, true}) {
                Reply reply = Reply::Ok(body);
                reply.framing = framing;
                reply.chunk_size = 1000;
                reply.gzip = gzip;
                server_.Serve("/", reply);
                for (std::size_t step : {std::size_t{1}, std::size_t{4096}, std::size_t{1} << 20}) {
                    const std::string what = "read_ahead " + std::to_string(read_ahead) +
                                             " framing " + std::to_string(int(framing)) + " gzip " +
                                             std::to_string(gzip) + " step " + std::to_string(step);
                    urlclient::SessionOptions o = Options();
                    o.read_ahead = read_ahead;
                    auto session = urlclient::OpenSession(o);
                    auto url = urlclient::OpenUrl(*session, server_.Url("/"), urlclient::kReload);
                    ASSERT_TRUE(url) << what;
                    std::string got;
                    EXPECT_EQ(ReadAll(*url, step, got), urlclient::ReadStatus::kOk) << what;
                    EXPECT_TRUE(got == body) << what << ": " << got.size() << " bytes";
                    std::vector<std::uint8_t> buf(16);
                    urlclient::ReadResult again = urlclient::Read(*url, buf);
                    EXPECT_EQ(again.status, urlclient::ReadStatus::kOk) << what;
                    EXPECT_EQ(again.bytes, 0u) << what;
                }
            }
        }
    }
}

TEST_F(UrlClientTest, HeldBackBodyStillEndsAtCutStallAndCap) {
    struct Case {
        const char* name;
        std::size_t size;
        std::size_t cut_after;
        std::size_t stall_after;
        std::uint64_t cap;
        urlclient::ReadStatus want;
        std::size_t want_bytes;  // delivered before the failure (not checked past the cap)
    } cases[] = {
        {"cut", 200000, 150000, Reply::kNever, 1 << 20, urlclient::ReadStatus::kFailed, 150000},
        {"stall", 200000, Reply::kNever, 150000, 1 << 20, urlclient::ReadStatus::kFailed, 150000},
        {"at the cap", 100000, Reply::kNever, Reply::kNever, 100000, urlclient::ReadStatus::kOk,
         100000},
        {"past the cap", 100001, Reply::kNever, Reply::kNever, 100000,
         urlclient::ReadStatus::kTooLarge, 0},
    };
    for (const auto& c : cases) {
        Reply reply = Reply::Ok(PatternBytes(c.size));
        reply.cut_after = c.cut_after;
        reply.stall_after = c.stall_after;
        server_.Serve("/", reply);
        urlclient::SessionOptions o = Options();
        o.read_ahead = 0;
        o.limits.max_body_bytes = c.cap;
        auto session = urlclient::OpenSession(o);
        auto url = urlclient::OpenUrl(*session, server_.Url("/"), urlclient::kReload);
        ASSERT_TRUE(url) << c.name;
        std::string got;
        EXPECT_EQ(ReadAll(*url, 4096, got), c.want) << c.name;
        if (c.want != urlclient::ReadStatus::kTooLarge) {
            EXPECT_EQ(got.size(), c.want_bytes) << c.name;
            EXPECT_TRUE(got == reply.body.substr(0, c.want_bytes)) << c.name;
        }
        std::vector<std::uint8_t> buf(16);
        EXPECT_EQ(urlclient::Read(*url, buf).status, c.want) << c.name << ", read again";
    }
}

// What sessions keep stays bounded: four idle connections at most, each closed once idle for the
// idle time (a minute; shortened here), and none after that.
TEST_F(UrlClientTest, KeptConnectionsAreFewAndCloseWhenIdle) {
    urlclient::CloseKeptConnections();
    std::vector<std::unique_ptr<LoopbackServer>> servers;
    auto open_on_servers = [&] {
        std::size_t open = 0;
        for (const auto& server : servers) open += server->OpenConnectionCount();
        return open;
    };
    for (int i = 0; i < 6; ++i) {
        servers.push_back(std::make_unique<LoopbackServer>());
        servers.back()->Serve("/", Reply::Ok("k"));
        auto session = urlclient::OpenSession(Options());
        auto url = urlclient::OpenUrl(*session, servers.back()->Url("/"), urlclient::kReload);
        ASSERT_TRUE(url);
        std::string body;
        EXPECT_EQ(ReadAll(*url, 4096, body), urlclient::ReadStatus::kOk);
    }
    const auto deadline = Clock::now() + milliseconds(10000);
    while (open_on_servers() > 4 && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(open_on_servers(), 4u);
    EXPECT_EQ(servers.back()->OpenConnectionCount(), 1u);  // the newest stay

    urlclient::Kept::Get()->SetIdleTime(milliseconds(200));
    for (const auto& server : servers) EXPECT_TRUE(server->WaitUntilIdle());
    EXPECT_FALSE(urlclient::Kept::Get()->HoldsConnections());
    urlclient::Kept::Get()->SetIdleTime(urlclient::Kept::kIdleTime);
}

TEST_F(UrlClientTest, ClosingWhileTheBodyIsHeldBackLeavesNothingOpen) {
    server_.Serve("/", Reply::Ok(PatternBytes(1 << 20)));
    urlclient::CloseKeptConnections();
    const std::size_t fds_before = OpenFileDescriptorCount();
    for (int i = 0; i < 20; ++i) {
        urlclient::SessionOptions o = Options();
        o.read_ahead = 0;
        auto session = urlclient::OpenSession(o);
        auto url = urlclient::OpenUrl(*session, server_.Url("/"), urlclient::kReload);
        ASSERT_TRUE(url);
        std::vector<std::uint8_t> buf(i);  // 0: not even one read takes the held piece
        urlclient::Read(*url, buf);
        url.reset();
    }
    // No connection was kept for later: a body left unread is not a connection to reuse.
    EXPECT_TRUE(server_.WaitUntilIdle());
    urlclient::CloseKeptConnections();
    EXPECT_EQ(OpenFileDescriptorCount(), fds_before);
}

TEST_F(UrlClientTest, StalledBodyFailsAfterTheStallTimeAndStaysFailed) {
    Reply reply = Reply::Ok(PatternBytes(10000));
    reply.stall_after = 3000;
    server_.Serve("/", reply);
    auto session = urlclient::OpenSession(Options());
    auto url = urlclient::OpenUrl(*session, server_.Url("/"), urlclient::kReload);
    ASSERT_TRUE(url);
    std::string body;
    EXPECT_EQ(ReadAll(*url, 4096, body), urlclient::ReadStatus::kFailed);
    EXPECT_EQ(body.size(), 3000u);
    std::vector<std::uint8_t> buf(16);
    EXPECT_EQ(urlclient::Read(*url, buf).status, urlclient::ReadStatus::kFailed);
}

TEST_F(UrlClientTest, NoCompleteHeadGivesNoHandle) {
    Reply never = Reply::Ok("x");
    never.special = Special::kNeverAnswer;
    Reply silent = never;
    silent.special = Special::kSilent;
    Reply half_head = Reply::Ok("x");
    half_head.special = Special::kRaw;
    half_head.body = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n";  // then the server closes
    server_.Serve("/never", never);
    server_.Serve("/silent", silent);
    server_.Serve("/half", half_head);
    for (const char* path : {"/never", "/silent", "/half"}) {
        auto session = urlclient::OpenSession(Options());
        EXPECT_FALSE(urlclient::OpenUrl(*session, server_.Url(path), urlclient::kReload)) << path;
    }
}

TEST_F(UrlClientTest, FollowsTenRedirectsButNotEleven) {
    // /r0 -> /r1 -> ... -> /rN -> /final
    for (int i = 0; i < 11; ++i)
        server_.Serve("/r" + std::to_string(i), Reply::Redirect(302, "/r" + std::to_string(i + 1)));
    server_.Serve("/r11", Reply::Ok("end"));
    auto session = urlclient::OpenSession(Options());
    auto ten = urlclient::OpenUrl(*session, server_.Url("/r1"), urlclient::kReload);
    ASSERT_TRUE(ten);
    std::string body;
    EXPECT_EQ(ReadAll(*ten, 4096, body), urlclient::ReadStatus::kOk);
    EXPECT_EQ(body, "end");
    ten.reset();
    EXPECT_FALSE(urlclient::OpenUrl(*session, server_.Url("/r0"), urlclient::kReload));
}

TEST_F(UrlClientTest, SizeCapCountsDecodedBytesToTheByte) {
    urlclient::SessionOptions o = Options();
    o.limits.max_body_bytes = 100000;
    struct Case {
        std::size_t size;
        Framing framing;
        bool gzip;
        urlclient::ReadStatus want;
    } cases[] = {
        {100000, Framing::kContentLength, false, urlclient::ReadStatus::kOk},
        {100001, Framing::kContentLength, false, urlclient::ReadStatus::kTooLarge},
        {100000, Framing::kChunked, false, urlclient::ReadStatus::kOk},
        {100001, Framing::kChunked, false, urlclient::ReadStatus::kTooLarge},
        {100000, Framing::kContentLength, true, urlclient::ReadStatus::kOk},
        {100001, Framing::kContentLength, true, urlclient::ReadStatus::kTooLarge},
    };
    for (const auto& c : cases) {
        Reply reply = Reply::Ok(std::string(c.size, 'z'));
        reply.framing = c.framing;
        reply.gzip = c.gzip;
        server_.Serve("/", reply);
        auto session = urlclient::OpenSession(o);
        auto url = urlclient::OpenUrl(*session, server_.Url("/"), urlclient::kReload);
        ASSERT_TRUE(url);
        std::string body;
        EXPECT_EQ(ReadAll(*url, 4096, body), c.want) << c.size << " gzip " << c.gzip;
    }
}

// With a CA of the test's own in place of the system store, the certificates it signs differ only
// in the host they name: the one for 127.0.0.1 is taken, the one for another host is refused
// during the handshake, before any request is sent.
TEST_F(UrlClientTest, CertificateFromATrustedCaMustNameTheHost) {
    CertificateAuthority ca;
    struct Case {
        const char* names;
        bool fetched;
    } cases[] = {
        {"IP:127.0.0.1", true},
        {"DNS:other.test", false},
    };
    for (const auto& c : cases) {
        TlsServer tls(ca, c.names);
        urlclient::SessionOptions o = Options();
        o.ca_file = ca.PemFile();
        auto session = urlclient::OpenSession(o);
        urlclient::Failure failure;
        auto url = urlclient::OpenUrl(*session, tls.Url("/"), urlclient::kReload, failure);
        EXPECT_EQ(url != nullptr, c.fetched) << c.names;
        // The reason the window words as a name mismatch.
        EXPECT_EQ(failure.certificate, c.fetched ? urlclient::Failure::Certificate::kOther
                                                 : urlclient::Failure::Certificate::kNameMismatch)
            << c.names << ": " << failure.text;
        std::string body;
        if (url) {
            EXPECT_EQ(ReadAll(*url, 4096, body), urlclient::ReadStatus::kOk) << c.names;
        }
        EXPECT_EQ(body, c.fetched ? "secret" : "") << c.names;
        EXPECT_EQ(tls.ConnectionCount(), 1u) << c.names;
        EXPECT_EQ(tls.RequestCount(), c.fetched ? 1u : 0u) << c.names;
    }
}

// Each request goes the ways the chooser gives for its own URL, and no other: not the proxy
// variables, which only the download reads; a list is tried in order past proxies that cannot be
// reached, and stops at one that answered.
TEST_F(UrlClientTest, EachRequestGoesTheWaysChosenForItsUrl) {
    LoopbackProxy proxy;
    LoopbackServer other;
    server_.Serve("/", Reply::Ok("p"));
    server_.Serve("/away", Reply::Redirect(302, other.Url("/there")));
    other.Serve("/there", Reply::Ok("t"));
    const recvhtml::test::RefusingPort refusing;
    const std::string closed = "http://" + refusing.Address();
    const urlclient::Proxy straight{}, via{"http://" + proxy.Address(), "", ""};
    const urlclient::Proxy dead{closed, "", ""};
    const urlclient::Proxy unknown{"http://a..invalid:3128", "", ""};
    struct Case {
        const char* name;
        std::string path;
        std::vector<urlclient::Proxy> ways;        // for the server's URLs
        std::vector<urlclient::Proxy> other_ways;  // for the redirect's target
        std::string body;
        std::size_t through_proxy;
    } cases[] = {
        {"straight", "/", {straight}, {}, "p", 0},
        {"through the proxy, loopback too", "/", {via}, {}, "p", 1},
        {"past a dead proxy and one not found", "/", {dead, unknown, via}, {}, "p", 1},
        {"past a dead proxy to straight", "/", {dead, straight}, {}, "p", 0},
        {"the redirect's own way", "/away", {straight}, {via}, "t", 1},
        {"the first request's way not kept", "/away", {via}, {straight}, "t", 1},
    };
    ScopedEnv variable("http_proxy", closed.c_str());
    for (const auto& c : cases) {
        urlclient::SessionOptions o = Options();
        std::vector<std::string> asked;
        o.proxies = [&](const std::string& url) {
            asked.push_back(url);
            return url.find(std::to_string(other.Port())) != std::string::npos ? c.other_ways
                                                                               : c.ways;
        };
        auto session = urlclient::OpenSession(o);
        const std::size_t before = proxy.RequestCount();
        auto url = urlclient::OpenUrl(*session, server_.Url(c.path), urlclient::kReload);
        ASSERT_TRUE(url) << c.name;
        std::string body;
        ReadAll(*url, 4096, body);
        EXPECT_EQ(body, c.body) << c.name;
        EXPECT_EQ(proxy.RequestCount() - before, c.through_proxy) << c.name;
        EXPECT_EQ(asked.size(), c.path == "/away" ? 2u : 1u) << c.name;
    }
}

}  // namespace

namespace {

TEST_F(UrlClientTest, OnlyHttpHttpsAndFtpAreTried) {
    // Every URL names the loopback server's port: a scheme that is allowed connects to it (and
    // fails there unless it is http), one that is not never gets that far.
    const std::string authority = "127.0.0.1:" + std::to_string(server_.Port());
    struct Case {
        std::string url;
        bool connects;
    } cases[] = {
        {"http://" + authority + "/", true},
        {"ftp://" + authority + "/", true},
        {"gopher://" + authority + "/", false},
        {"dict://" + authority + "/", false},
        {"telnet://" + authority + "/", false},
        {"scp://" + authority + "/x", false},
        {"file://" + authority + "/etc/hostname", false},
    };
    for (const auto& c : cases) {
        const std::size_t before = server_.ConnectionCount();
        auto session = urlclient::OpenSession(Options());
        auto url = urlclient::OpenUrl(*session, c.url, urlclient::kReload);
        EXPECT_EQ(url != nullptr, c.url.rfind("http:", 0) == 0) << c.url;
        if (c.connects)
            EXPECT_TRUE(server_.WaitForConnections(before + 1)) << c.url;
        else
            EXPECT_EQ(server_.ConnectionCount(), before) << c.url;
    }
}

}  // namespace
