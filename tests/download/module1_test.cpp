#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "download/module1.h"
#include "tests/support/loopback_server.h"
#include "tests/support/refusing_port.h"
#include "tests/support/scoped_env.h"

using namespace recvhtml::test;

namespace {

// libcurl is set up once for the process before any test thread exists, as main() does.
const urlclient::GlobalInit g_curl;

std::string AsString(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Limits short enough that a stalled server ends a test quickly.
urlclient::Limits ShortLimits() {
    urlclient::Limits limits;
    limits.connect_timeout = milliseconds(2000);
    limits.stall_timeout = milliseconds(300);
    return limits;
}

class DownloadBytesTest : public testing::Test {
protected:
    NoProxySettings no_proxy_settings_;
    LoopbackServer server_;
};

TEST_F(DownloadBytesTest, EmptyUrlSendsNothingAndLeavesArrayUntouched) {
    std::vector<std::uint8_t> body{1, 2, 3};
    EXPECT_EQ(Module1::DownloadBytes(QString(), body, QString()), 0);
    EXPECT_EQ(Module1::DownloadBytes(QString(), body, QString::fromStdString(server_.Url())), 0);
    EXPECT_EQ(body, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(server_.ConnectionCount(), 0u);
}

// Sizes around the read size and the growth step, with each framing the server offers.
struct BodyCase {
    std::size_t size;
    Framing framing;
    bool gzip;
    // Names the case in CTest's list the same way in every build.
    friend void PrintTo(const BodyCase& c, std::ostream* os) {
        const char* const framings[] = {" length", " chunked", " until close"};
        *os << c.size << framings[static_cast<int>(c.framing)] << (c.gzip ? " gzip" : "");
    }
};

class DownloadBodyTest : public DownloadBytesTest, public testing::WithParamInterface<BodyCase> {};

TEST_P(DownloadBodyTest, ArrivesByteForByteWithExactLength) {
    const BodyCase c = GetParam();
    Reply reply = Reply::Ok(PatternBytes(c.size, static_cast<std::uint32_t>(c.size)));
    reply.framing = c.framing;
    reply.gzip = c.gzip;
    reply.chunk_size = 1000;  // chunk edges that fall inside reads
    server_.Serve("/page", reply);

    std::vector<std::uint8_t> body(3, 0xAB);  // stale contents that must not survive
    std::int32_t count =
        Module1::DownloadBytes(QString::fromStdString(server_.Url("/page")), body, QString());
    EXPECT_EQ(count, static_cast<std::int32_t>(c.size));
    ASSERT_EQ(body.size(), c.size);
    EXPECT_TRUE(AsString(body) == reply.body) << "contents differ";
}

INSTANTIATE_TEST_SUITE_P(Sizes, DownloadBodyTest,
                         testing::Values(BodyCase{1, Framing::kContentLength, false},
                                         BodyCase{4095, Framing::kContentLength, false},
                                         BodyCase{4096, Framing::kContentLength, false},
                                         BodyCase{4097, Framing::kContentLength, false},
                                         BodyCase{8191, Framing::kContentLength, false},
                                         BodyCase{8192, Framing::kContentLength, false},
                                         // Over 4096 full reads: a growth step that falls
                                         // short of the read size runs past the array by then.
                                         BodyCase{20 << 20, Framing::kContentLength, false},
                                         BodyCase{4096, Framing::kChunked, false},
                                         BodyCase{8193, Framing::kChunked, false},
                                         BodyCase{3 << 20, Framing::kChunked, false},
                                         BodyCase{8192, Framing::kUntilClose, false},
                                         BodyCase{4097, Framing::kContentLength, true},
                                         BodyCase{3 << 20, Framing::kChunked, true}));

TEST_F(DownloadBytesTest, EmptyBodyGivesZeroAndEmptiedArray) {
    for (int status : {200, 204}) {
        server_.Serve("/empty", Reply::Status(status, ""));
        std::vector<std::uint8_t> body(100, 7);
        EXPECT_EQ(
            Module1::DownloadBytes(QString::fromStdString(server_.Url("/empty")), body, QString()),
            0)
            << status;
        EXPECT_TRUE(body.empty()) << status;
    }
}

TEST_F(DownloadBytesTest, ErrorStatusGivesItsPage) {
    const std::string page = "<html><body>gone</body></html>";
    for (int status : {404, 500}) {
        server_.Serve("/missing", Reply::Status(status, page));
        std::vector<std::uint8_t> body;
        EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(server_.Url("/missing")), body,
                                         QString()),
                  static_cast<std::int32_t>(page.size()));
        EXPECT_EQ(AsString(body), page);
    }
}

TEST_F(DownloadBytesTest, SendsAgentNameAndNoCacheHeaders) {
    server_.Serve("/", Reply::Ok("x"));
    std::vector<std::uint8_t> body;
    ASSERT_EQ(Module1::DownloadBytes(QString::fromStdString(server_.Url("/")), body, QString()), 1);
    ASSERT_EQ(server_.RequestCount(), 1u);
    const ReceivedRequest r = server_.Requests()[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.Header("User-Agent"), "RECV_HTML");
    EXPECT_EQ(r.Header("Cache-Control"), "no-cache");
    EXPECT_EQ(r.Header("Pragma"), "no-cache");
    EXPECT_TRUE(r.Header("Accept-Encoding").value_or("").find("gzip") != std::string::npos);
}

TEST_F(DownloadBytesTest, FollowsRedirectToItsTarget) {
    for (int status : {301, 302, 303, 307, 308}) {
        server_.Serve("/old", Reply::Redirect(status, server_.Url("/new")));
        server_.Serve("/new", Reply::Ok("new page"));
        std::vector<std::uint8_t> body;
        EXPECT_EQ(
            Module1::DownloadBytes(QString::fromStdString(server_.Url("/old")), body, QString()), 8)
            << status;
        EXPECT_EQ(AsString(body), "new page");
    }
    const auto requests = server_.Requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(requests[1].target, "/new");
    EXPECT_EQ(requests[1].Header("User-Agent"), "RECV_HTML");
}

TEST_F(DownloadBytesTest, UnopenableUrlGivesZeroAndLeavesArrayAlone) {
    // A port nobody listens on.
    const RefusingPort refusing;
    const std::string refused = refusing.Url("/");
    const std::vector<std::string> urls = {
        refused,
        // An empty label makes the resolver fail here, without a query leaving the machine.
        "http://a..invalid/",
        "file:///etc/hostname",
        "gopher://127.0.0.1:" + std::to_string(server_.Port()) + "/",
        "not a url at all",
    };
    for (const auto& url : urls) {
        std::vector<std::uint8_t> body{9, 9};
        EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(url), body, QString()), 0) << url;
        EXPECT_EQ(body, (std::vector<std::uint8_t>{9, 9})) << url;
    }
    EXPECT_EQ(server_.ConnectionCount(), 0u);
}

TEST_F(DownloadBytesTest, RedirectToOtherSchemeIsRefused) {
    // The ftp: target listens, so a redirect that was followed would show as a connection to it
    // rather than fail in the same way as a refused one.
    LoopbackServer ftp_target;
    server_.Serve("/to-file", Reply::Redirect(302, "file:///etc/hostname"));
    server_.Serve(
        "/to-ftp",
        Reply::Redirect(302, "ftp://127.0.0.1:" + std::to_string(ftp_target.Port()) + "/"));
    for (const char* path : {"/to-file", "/to-ftp"}) {
        std::vector<std::uint8_t> body{9, 9};
        EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(server_.Url(path)), body, QString(),
                                         ShortLimits()),
                  0)
            << path;
        EXPECT_EQ(body, (std::vector<std::uint8_t>{9, 9})) << path;
    }
    EXPECT_EQ(ftp_target.ConnectionCount(), 0u);
}

TEST_F(DownloadBytesTest, NamedProxyReceivesAbsoluteFormEvenForLoopback) {
    LoopbackProxy proxy;
    server_.Serve("/via", Reply::Ok("through the proxy"));
    // A proxy variable pointing elsewhere must not matter in named-proxy mode.
    LoopbackServer decoy;
    ScopedEnv env("http_proxy", decoy.Url("").c_str());
    std::vector<std::uint8_t> body;
    EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(server_.Url("/via")), body,
                                     QString::fromStdString(proxy.Address())),
              17);
    EXPECT_EQ(AsString(body), "through the proxy");
    ASSERT_EQ(proxy.RequestCount(), 1u);
    EXPECT_EQ(proxy.Requests()[0].target, server_.Url("/via"));
    EXPECT_EQ(proxy.Requests()[0].Header("User-Agent"), "RECV_HTML");
    EXPECT_EQ(decoy.ConnectionCount(), 0u);
}

// The system's settings decide each request's proxy: a proxy variable set for the scheme first,
// else the desktop's settings (GNOME's, here in a keyfile of the test's own; PAC files from a
// loopback server), else straight. The failure names the proxy that was used and where it came
// from.
TEST_F(DownloadBytesTest, SystemSettingsDecideTheProxy) {
    using Origin = Module1::ProxyOrigin::Kind;
    using ClientKind = urlclient::Failure::Kind;
    server_.Serve("/page", Reply::Ok("page"));
    LoopbackProxy proxy, other, login;
    login.RequireDigestLogin("taro", "p@ss:w0rd");
    // Stand-ins for proxies of https requests: they take the tunnel request and refuse it.
    LoopbackServer tunnel_http, tunnel_https;
    const std::string tunnel_http_address = "127.0.0.1:" + std::to_string(tunnel_http.Port());
    const std::string tunnel_https_address = "127.0.0.1:" + std::to_string(tunnel_https.Port());
    const RefusingPort refusing;
    const std::string closed = refusing.Address();
    LoopbackServer pac;
    auto serve_pac = [&pac](const std::string& path, const std::string& answer) {
        pac.Serve(path,
                  Reply::Ok("function FindProxyForURL(url, host) { return \"" + answer + "\"; }",
                            "application/x-ns-proxy-autoconfig"));
        return pac.Url(path);
    };
    const std::string list =
        serve_pac("/list.pac", "PROXY " + closed + "; PROXY " + proxy.Address() + "; DIRECT");
    const std::string direct = serve_pac("/direct.pac", "DIRECT");
    const std::string dead = serve_pac("/dead.pac", "PROXY " + closed);
    const std::string unreadable = refusing.Url("/proxy.pac");
    auto host_port = [](const std::string& address, const char* group) {
        const std::size_t colon = address.rfind(':');
        return std::string("[system/proxy/") + group + "]\nhost='" + address.substr(0, colon) +
               "'\nport=" + address.substr(colon + 1) + "\n";
    };
    auto manual = [&](const std::string& address, const char* ignore = "@as []") {
        return std::string("[system/proxy]\nmode='manual'\nignore-hosts=") + ignore + "\n" +
               host_port(address, "http");
    };
    auto automatic = [](const std::string& url) {
        return "[system/proxy]\nmode='auto'\nignore-hosts=@as []\nautoconfig-url='" + url + "'\n";
    };
    const std::string with_login =
        manual(login.Address()) +
        "use-authentication=true\nauthentication-user='taro'\nauthentication-password=";
    const std::string https_url = "https://127.0.0.1:" + std::to_string(server_.Port()) + "/";
    const std::string page = server_.Url("/page");

    struct Case {
        const char* name;
        const char* http_proxy;  // the variable; null: unset
        std::string keyfile;     // GNOME's settings; empty: no desktop session
        std::string url;
        HttpListener* carrier;  // the proxy that must take the request; null: none
        ClientKind kind;        // kNone: the page came
        std::string named;      // the proxy the failure names
        Origin origin;
        std::string pac_url;
        bool pac_unreadable;
    };
    const std::string variable = "http://" + other.Address();
    const Case cases[] = {
        {"no settings: straight", nullptr, "", page, nullptr, ClientKind::kNone, "", Origin::kNone,
         "", false},
        {"a manual desktop proxy", nullptr, manual(proxy.Address()), page, &proxy,
         ClientKind::kNone, "", Origin::kDesktop, "", false},
        {"a host it reaches directly, by range", nullptr,
         manual(proxy.Address(), "['10.0.0.0/8', '127.0.0.0/8']"), page, nullptr, ClientKind::kNone,
         "", Origin::kNone, "", false},
        {"the variable before the desktop", variable.c_str(), manual(proxy.Address()), page, &other,
         ClientKind::kNone, "", Origin::kVariable, "", false},
        {"a dead desktop proxy, named with its port", nullptr, manual(closed), page, nullptr,
         ClientKind::kProxyConnectionRefused, closed, Origin::kDesktop, "", false},
        {"https takes the https setting", nullptr,
         manual(tunnel_http_address) + host_port(tunnel_https_address, "https"), https_url,
         &tunnel_https, ClientKind::kProxyRefused, tunnel_https_address, Origin::kDesktop, "",
         false},
        {"desktop credentials log in to a Digest proxy", nullptr, with_login + "'p@ss:w0rd'\n",
         page, &login, ClientKind::kNone, "", Origin::kDesktop, "", false},
        // An http page's 407 would be the page; a tunnel's is the proxy's answer.
        {"wrong desktop credentials, for a tunnel", nullptr,
         with_login + "'guess'\n" + host_port(login.Address(), "https"), https_url, nullptr,
         ClientKind::kProxyNeedsLogin, login.Address(), Origin::kDesktop, "", false},
        {"a PAC list past its dead first proxy", nullptr, automatic(list), page, &proxy,
         ClientKind::kNone, "", Origin::kPacFile, list, false},
        {"a PAC file's DIRECT", nullptr, automatic(direct), page, nullptr, ClientKind::kNone, "",
         Origin::kPacFile, direct, false},
        {"a dead PAC proxy, named", nullptr, automatic(dead), page, nullptr,
         ClientKind::kProxyConnectionRefused, closed, Origin::kPacFile, dead, false},
        {"a PAC file that cannot be had: straight", nullptr, automatic(unreadable), page, nullptr,
         ClientKind::kNone, "", Origin::kNone, unreadable, true},
    };
    HttpListener* const listeners[] = {&proxy, &other, &login, &tunnel_http, &tunnel_https};
    for (const Case& c : cases) {
        ScopedEnv env("http_proxy", c.http_proxy);
        std::optional<GnomeProxySettings> gnome;
        if (!c.keyfile.empty()) gnome.emplace(c.keyfile);
        std::size_t before[std::size(listeners)];
        for (std::size_t i = 0; i < std::size(listeners); ++i)
            before[i] = listeners[i]->RequestCount();
        std::vector<std::uint8_t> body;
        Module1::DownloadFailure failure;
        // The desktop is asked within the connect time: long enough for the program that asks it
        // to start and read a PAC file on a loaded machine.
        urlclient::Limits limits = ShortLimits();
        limits.connect_timeout = milliseconds(20000);
        const std::int32_t count = Module1::DownloadBytes(QString::fromStdString(c.url), body,
                                                          QString(), limits, nullptr, failure);
        EXPECT_EQ(count, c.kind == ClientKind::kNone ? 4 : 0) << c.name;
        EXPECT_EQ(failure.client.kind, c.kind) << c.name << ": " << failure.client.text;
        EXPECT_EQ(failure.client.proxy, c.named) << c.name;
        EXPECT_EQ(failure.origin.kind, c.origin) << c.name;
        EXPECT_EQ(failure.origin.pac_url, c.pac_url) << c.name;
        EXPECT_EQ(failure.origin.pac_unreadable, c.pac_unreadable) << c.name;
        for (std::size_t i = 0; i < std::size(listeners); ++i) {
            // The login proxy also counts the request it turned away before the login.
            const bool carried = listeners[i] == c.carrier;
            const bool asked = listeners[i]->RequestCount() > before[i];
            EXPECT_EQ(asked, carried || (listeners[i] == &login && c.named == login.Address()))
                << c.name << ": proxy " << i;
        }
    }
}

// A connection kept from one download is taken up by the next only if it goes the same way: never
// one opened through a proxy for another proxy or for the server itself, nor the other way round.
TEST_F(DownloadBytesTest, KeptConnectionGoesOnlyTheWayItWasOpened) {
    server_.Serve("/p", Reply::Ok("p"));
    // Loopback servers stand in for proxies that keep their connections: they answer a forwarded
    // request by its path.
    LoopbackServer proxy_a, proxy_b;
    proxy_a.Serve("/p", Reply::Ok("p"));
    proxy_b.Serve("/p", Reply::Ok("p"));
    const QString a = QString::fromStdString("127.0.0.1:" + std::to_string(proxy_a.Port()));
    const QString b = QString::fromStdString("127.0.0.1:" + std::to_string(proxy_b.Port()));
    const QString url = QString::fromStdString(server_.Url("/p"));
    const struct {
        QString proxy;
        LoopbackServer* through;
        std::size_t connections;  // of `through`, after the download
    } steps[] = {
        {a, &proxy_a, 1}, {b, &proxy_b, 1},         {QString(), &server_, 1},
        {a, &proxy_a, 1}, {QString(), &server_, 1}, {b, &proxy_b, 1},
    };
    std::size_t step = 0;
    for (const auto& s : steps) {
        std::size_t requests[3] = {proxy_a.RequestCount(), proxy_b.RequestCount(),
                                   server_.RequestCount()};
        std::vector<std::uint8_t> body;
        EXPECT_EQ(Module1::DownloadBytes(url, body, s.proxy), 1) << step;
        LoopbackServer* listeners[3] = {&proxy_a, &proxy_b, &server_};
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_EQ(listeners[i]->RequestCount() - requests[i], listeners[i] == s.through)
                << step << ": " << i;
        EXPECT_EQ(s.through->ConnectionCount(), s.connections) << step;
        ++step;
    }
}

TEST_F(DownloadBytesTest, NonAsciiUrlIsSentAsUtf8PercentEncoded) {
    server_.Serve("/%E6%97%A5%E6%9C%AC", Reply::Ok("nihon"));
    std::vector<std::uint8_t> body;
    const QString url =
        QString::fromStdString(server_.Url("/")) + QString::fromUtf8("日本?q=漢 字");
    EXPECT_EQ(Module1::DownloadBytes(url, body, QString()), 5);
    ASSERT_EQ(server_.RequestCount(), 1u);
    EXPECT_EQ(server_.Requests()[0].target, "/%E6%97%A5%E6%9C%AC?q=%E6%BC%A2%20%E5%AD%97");
}

TEST_F(DownloadBytesTest, NonAsciiHostGoesThroughIdna) {
    // The proxy refuses hosts off this machine, but it records the name the client sent.
    LoopbackProxy proxy;
    std::vector<std::uint8_t> body;
    Module1::DownloadBytes(QString::fromUtf8("http://bücher.invalid/ä"), body,
                           QString::fromStdString(proxy.Address()));
    ASSERT_EQ(proxy.RequestCount(), 1u);
    EXPECT_EQ(proxy.Requests()[0].target, "http://xn--bcher-kva.invalid/%C3%A4");
}

TEST_F(DownloadBytesTest, CutMidBodyReturnsTheBytesSoFar) {
    Reply reply = Reply::Ok(PatternBytes(100000));
    reply.cut_after = 50001;
    server_.Serve("/cut", reply);
    std::vector<std::uint8_t> body;
    EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(server_.Url("/cut")), body, QString()),
              50001);
    EXPECT_TRUE(AsString(body) == reply.body.substr(0, 50001));
}

TEST_F(DownloadBytesTest, StalledServerEndsWithTheBytesSoFar) {
    Reply reply = Reply::Ok(PatternBytes(100000));
    reply.stall_after = 12345;
    server_.Serve("/stall", reply);
    std::vector<std::uint8_t> body;
    EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(server_.Url("/stall")), body, QString(),
                                     ShortLimits()),
              12345);
    EXPECT_TRUE(AsString(body) == reply.body.substr(0, 12345));
}

TEST_F(DownloadBytesTest, BodyPastTheCapGivesZeroAndReleasedArray) {
    urlclient::Limits limits;
    limits.max_body_bytes = 1 << 20;
    // Declared up front, known only at the end, and revealed only by decoding.
    Reply declared = Reply::Ok(PatternBytes((1 << 20) + 1));
    Reply chunked = declared;
    chunked.framing = Framing::kChunked;
    Reply zipped = Reply::Ok(std::string(8 << 20, 'a'));
    zipped.gzip = true;
    server_.Serve("/declared", declared);
    server_.Serve("/chunked", chunked);
    server_.Serve("/zipped", zipped);
    server_.Serve("/fits", Reply::Ok(PatternBytes(1 << 20)));
    for (const char* path : {"/declared", "/chunked", "/zipped"}) {
        std::vector<std::uint8_t> body(10, 1);
        EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(server_.Url(path)), body, QString(),
                                         limits),
                  0)
            << path;
        EXPECT_TRUE(body.empty()) << path;
        EXPECT_EQ(body.capacity(), 0u) << path;
    }
    std::vector<std::uint8_t> body;
    EXPECT_EQ(Module1::DownloadBytes(QString::fromStdString(server_.Url("/fits")), body, QString(),
                                     limits),
              1 << 20);
}

TEST_F(DownloadBytesTest, WorksFromWorkerThread) {
    server_.Serve("/w", Reply::Ok(PatternBytes(20000)));
    std::vector<std::uint8_t> body;
    std::int32_t count = -1;
    std::thread worker([&] {
        count = Module1::DownloadBytes(QString::fromStdString(server_.Url("/w")), body, QString());
    });
    worker.join();
    EXPECT_EQ(count, 20000);
}

TEST_F(DownloadBytesTest, HeldResponseKeepsTheCallWaitingUntilReleased) {
    auto gate = std::make_shared<Gate>();
    Reply reply = Reply::Ok("released");
    reply.gate = gate;
    server_.Serve("/held", reply);
    std::vector<std::uint8_t> body;
    std::atomic<bool> returned{false};
    std::int32_t count = -1;
    std::thread worker([&] {
        count =
            Module1::DownloadBytes(QString::fromStdString(server_.Url("/held")), body, QString());
        returned = true;
    });
    ASSERT_TRUE(gate->WaitUntilArrived());
    // Nothing has been sent yet, so the call cannot have ended.
    EXPECT_FALSE(returned);
    gate->Open();
    worker.join();
    EXPECT_EQ(count, 8);
    EXPECT_EQ(AsString(body), "released");
}

TEST_F(DownloadBytesTest, LeavesNoDescriptorOpenWhateverTheOutcome) {
    LoopbackProxy proxy;
    Reply cut = Reply::Ok(PatternBytes(50000));
    cut.cut_after = 1000;
    Reply stall = Reply::Ok(PatternBytes(50000));
    stall.stall_after = 1000;
    Reply big = Reply::Ok(PatternBytes(300000));
    big.framing = Framing::kChunked;
    server_.Serve("/ok", Reply::Ok(PatternBytes(10000)));
    server_.Serve("/404", Reply::Status(404, "no"));
    server_.Serve("/empty", Reply::Ok(""));
    server_.Serve("/cut", cut);
    server_.Serve("/stall", stall);
    server_.Serve("/big", big);
    server_.Serve("/loop", Reply::Redirect(302, "/loop"));
    const RefusingPort refusing;
    const std::string refused = refusing.Url("/");
    urlclient::Limits limits = ShortLimits();
    limits.max_body_bytes = 200000;

    auto run_all = [&] {
        std::vector<std::uint8_t> body;
        for (const char* path : {"/ok", "/404", "/empty", "/cut", "/stall", "/big", "/loop"}) {
            Module1::DownloadBytes(QString::fromStdString(server_.Url(path)), body, QString(),
                                   limits);
        }
        Module1::DownloadBytes(QString::fromStdString(server_.Url("/ok")), body,
                               QString::fromStdString(proxy.Address()), limits);
        Module1::DownloadBytes(QString::fromStdString(refused), body, QString(), limits);
        Module1::DownloadBytes("http://a..invalid/", body, QString(), limits);
    };
    run_all();  // first use sets up whatever libcurl keeps for the process
    urlclient::CloseKeptConnections();
    ASSERT_TRUE(server_.WaitUntilIdle());
    ASSERT_TRUE(proxy.WaitUntilIdle());
    const std::size_t before = OpenFileDescriptorCount();
    for (int i = 0; i < 5; ++i) run_all();
    // Every connection the client opened has been closed from its side, but those kept for the
    // next fetch, which close when let go.
    urlclient::CloseKeptConnections();
    EXPECT_TRUE(server_.WaitUntilIdle());
    EXPECT_TRUE(proxy.WaitUntilIdle());
    EXPECT_EQ(OpenFileDescriptorCount(), before);
}

}  // namespace
