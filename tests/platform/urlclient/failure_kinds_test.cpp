// Why a fetch failed, as the URL client tells it, for each way a server, a proxy or this machine
// can let it down. The window words each kind; here the kind itself, and the facts it names, are
// what must be right.

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/urlclient/url_client.h"
#include "tests/support/ftp_server.h"
#include "tests/support/loopback_server.h"
#include "tests/support/refusing_port.h"
#include "tests/support/scoped_env.h"
#include "tests/support/tls_server.h"

using namespace recvhtml::test;
using Kind = urlclient::Failure::Kind;

namespace {

const urlclient::GlobalInit g_curl;

struct Outcome {
    urlclient::Failure failure;  // of the open, or of the read that ended the body
    std::string body;
};

// Opens `url` and reads its body to the end, as the download does.
Outcome Fetch(const std::string& url, const urlclient::SessionOptions& options) {
    Outcome out;
    auto session = urlclient::OpenSession(options, out.failure);
    if (!session) return out;
    auto handle = urlclient::OpenUrl(*session, url, urlclient::kReload, out.failure);
    if (!handle) return out;
    std::vector<std::uint8_t> buf(4096);
    for (;;) {
        urlclient::ReadResult r = urlclient::Read(*handle, buf);
        out.body.append(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(r.bytes));
        if (r.status != urlclient::ReadStatus::kOk || r.bytes == 0) {
            out.failure = r.failure;
            return out;
        }
    }
}

urlclient::SessionOptions ShortOptions() {
    urlclient::SessionOptions o;
    o.agent = "RECV_HTML";
    o.limits.connect_timeout = milliseconds(2000);
    o.limits.stall_timeout = milliseconds(300);
    return o;
}

// A port that refuses connections for the rest of the test program.
std::string ClosedPort() {
    static std::deque<recvhtml::test::RefusingPort> ports;
    return std::to_string(ports.emplace_back().Port());
}

TEST(FailureKinds, EachHostileCaseIsToldApart) {
    NoProxySettings no_proxy_settings;
    LoopbackServer server;
    Reply cut = Reply::Ok(PatternBytes(5000));
    cut.cut_after = 1000;
    Reply stall = Reply::Ok(PatternBytes(5000));
    stall.stall_after = 1000;
    Reply endless_head;
    endless_head.special = Special::kEndlessHead;
    server.Serve("/cut", cut);
    server.Serve("/stall", stall);
    server.Serve("/head", endless_head);
    Reply long_line;
    long_line.special = Special::kRaw;
    long_line.body = "HTTP/1.1 200 OK\r\nX-Long: " + std::string(200000, 'a') + "\r\n\r\nbody";
    server.Serve("/long-line", long_line);
    server.Serve("/to-ftp", Reply::Redirect(302, "ftp://127.0.0.1:" + ClosedPort() + "/x"));

    // A proxy is a loopback server too: it answers a tunnel request (CONNECT 127.0.0.1:<port>) by
    // the route of that name, and a forwarded request by its path.
    LoopbackServer proxy;
    const std::string proxy_address = "127.0.0.1:" + std::to_string(proxy.Port());
    const std::string tunnelled = "127.0.0.1:" + ClosedPort();
    Reply login = Reply::Status(407, "");
    login.headers = {{"Proxy-Authenticate", "Basic realm=\"office\""}};
    Reply silent;
    silent.special = Special::kSilent;
    proxy.Serve("/silent", silent);
    // The server's head, relayed, then nothing: the proxy did its part.
    Reply head_then_silence = Reply::Ok(PatternBytes(1000));
    head_then_silence.stall_after = 0;
    proxy.Serve("/head-then-silence", head_then_silence);
    const std::string closed_proxy = "127.0.0.1:" + ClosedPort();

    TlsServer self_signed;
    CertificateAuthority ca;
    TlsServer unknown_issuer(ca, "IP:127.0.0.1");
    TlsServer expired(ca, "IP:127.0.0.1", TlsServer::Dates::kExpired);
    // Trusted certificates: only what the servers offer stands in the way.
    TlsServer tls10(ca, "IP:127.0.0.1", TlsServer::Dates::kCurrent, TlsOffer::kOnlyTls10);
    TlsServer tls11(ca, "IP:127.0.0.1", TlsServer::Dates::kCurrent, TlsOffer::kOnlyTls11);
    TlsServer sha1(ca, "IP:127.0.0.1", TlsServer::Dates::kCurrent, TlsOffer::kOnlySha1Signatures);
    const auto trust_ca = [&ca](urlclient::SessionOptions& o) { o.ca_file = ca.PemFile(); };

    const std::string via_proxy = "http://" + proxy_address;
    auto named = [](std::string name) {
        return [name](urlclient::SessionOptions& o) {
            o.proxies = [name](const std::string&) {
                return std::vector<urlclient::Proxy>{{name, "", ""}};
            };
        };
    };
    using Certificate = urlclient::Failure::Certificate;
    struct Case {
        const char* name;
        std::string url;
        std::function<void(urlclient::SessionOptions&)> set_up;
        Kind kind;
        std::string proxy;  // the proxy the failure names
        int proxy_status;   // its answer to a tunnel request
        Certificate certificate;
        std::size_t bytes;  // what came before the failure
    } cases[] = {
        {"server name not found", "http://a..invalid/", nullptr, Kind::kHostNotFound, "", 0,
         Certificate::kOther, 0},
        {"proxy name not found", server.Url("/"), named("http://a..invalid:8080"),
         Kind::kProxyNotFound, "a..invalid:8080", 0, Certificate::kOther, 0},
        {"server port closed", "http://127.0.0.1:" + ClosedPort() + "/", nullptr,
         Kind::kConnectionRefused, "", 0, Certificate::kOther, 0},
        {"proxy port closed", server.Url("/"), named(closed_proxy), Kind::kProxyConnectionRefused,
         closed_proxy, 0, Certificate::kOther, 0},
        {"proxy never answers", "http://127.0.0.1:" + ClosedPort() + "/silent",
         named(proxy_address), Kind::kProxyTimedOut, proxy_address, 0, Certificate::kOther, 0},
        {"server's head through a proxy, then silence",
         "http://127.0.0.1:" + ClosedPort() + "/head-then-silence", named(via_proxy),
         Kind::kTimedOut, proxy_address, 0, Certificate::kOther, 0},
        {"tunnel wants a login", "https://" + tunnelled + "/",
         [&](auto& o) {
             proxy.Serve(tunnelled, login);
             named(via_proxy)(o);
         },
         Kind::kProxyNeedsLogin, proxy_address, 407, Certificate::kOther, 0},
        {"tunnel forbidden", "https://" + tunnelled + "/",
         [&](auto& o) {
             proxy.Serve(tunnelled, Reply::Status(403, "no"));
             named(via_proxy)(o);
         },
         Kind::kProxyRefused, proxy_address, 403, Certificate::kOther, 0},
        // An answer, so the way after it (straight to a closed port) is not tried.
        {"tunnel refused with a 5xx status", "https://" + tunnelled + "/",
         [&](auto& o) {
             proxy.Serve(tunnelled, Reply::Status(503, "busy"));
             o.proxies = [&](const std::string&) {
                 return std::vector<urlclient::Proxy>{{via_proxy, "", ""}, {}};
             };
         },
         Kind::kProxyRefused, proxy_address, 503, Certificate::kOther, 0},
        {"response head too large", server.Url("/head"), nullptr, Kind::kHeadTooLarge, "", 0,
         Certificate::kOther, 0},
        {"one header line too long", server.Url("/long-line"), nullptr, Kind::kHeadTooLarge, "", 0,
         Certificate::kOther, 0},
        {"redirect to ftp", server.Url("/to-ftp"), nullptr, Kind::kRedirectScheme, "", 0,
         Certificate::kOther, 0},
        {"body cut part-way", server.Url("/cut"), nullptr, Kind::kCutOff, "", 0,
         Certificate::kOther, 1000},
        {"body stalls part-way", server.Url("/stall"), nullptr, Kind::kTimedOut, "", 0,
         Certificate::kOther, 1000},
        {"self-signed certificate", self_signed.Url("/"), nullptr, Kind::kCertificate, "", 0,
         Certificate::kSelfSigned, 0},
        {"certificate from an unknown authority", unknown_issuer.Url("/"), nullptr,
         Kind::kCertificate, "", 0, Certificate::kUnknownIssuer, 0},
        {"expired certificate", expired.Url("/"), [&](auto& o) { o.ca_file = ca.PemFile(); },
         Kind::kCertificate, "", 0, Certificate::kExpired, 0},
        {"server offers only TLS 1.0", tls10.Url("/"), trust_ca, Kind::kOutdatedTls, "", 0,
         Certificate::kOther, 0},
        {"server offers only TLS 1.1", tls11.Url("/"), trust_ca, Kind::kOutdatedTls, "", 0,
         Certificate::kOther, 0},
        {"server signs only with SHA-1", sha1.Url("/"), trust_ca, Kind::kTls, "", 0,
         Certificate::kOther, 0},
        {"no store of trusted certificates", self_signed.Url("/"),
         [](auto& o) { o.ca_file = "/nonexistent/ca-certificates.crt"; }, Kind::kNoCertificateStore,
         "", 0, Certificate::kOther, 0},
    };
    for (const auto& c : cases) {
        urlclient::SessionOptions o = ShortOptions();
        if (c.set_up) c.set_up(o);
        const Outcome out = Fetch(c.url, o);
        EXPECT_EQ(out.failure.kind, c.kind) << c.name << ": " << out.failure.text;
        EXPECT_EQ(out.failure.proxy, c.proxy) << c.name;
        EXPECT_EQ(out.failure.proxy_status, c.proxy_status) << c.name;
        EXPECT_EQ(out.failure.certificate, c.certificate) << c.name << ": " << out.failure.text;
        EXPECT_EQ(out.body.size(), c.bytes) << c.name;
        if (c.kind == Kind::kRedirectScheme) {
            EXPECT_EQ(out.failure.scheme, "ftp");
        }
        if (c.kind == Kind::kProxyTimedOut) {
            EXPECT_EQ(out.failure.time_limit, milliseconds(300));
        }
    }
}

// An ftp file is whole once its data connection has closed and the server has said 226, whether or
// not the server declared its size: nothing waits for the answer to QUIT, which some servers never
// give. A press of Esc after the QUIT drops nothing of it.
TEST(FailureKinds, FtpFileIsWholeOnceSentWhateverTheAnswerToQuit) {
    NoProxySettings no_proxy_settings;
    const std::string content = PatternBytes(20000);
    FtpServer ftp("page.html", content);
    std::size_t quits = 0;  // sent by the fetches so far, one each
    for (const auto size :
         {FtpServer::Size::kBySize, FtpServer::Size::kInReply, FtpServer::Size::kNowhere}) {
        for (const bool press_esc : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "size " << static_cast<int>(size) << " esc " << press_esc);
            ftp.DeclareSize(size);
            ftp.AnswerQuit(false);
            urlclient::StopSignal stop;
            urlclient::SessionOptions o = ShortOptions();
            // libcurl waits for a server's answers this long: far longer than this test may run.
            o.limits.stall_timeout = std::chrono::hours(1);
            o.stop = &stop;
            // The server may count a QUIT a moment after its client has gone: the Esc below must
            // follow this fetch's QUIT, not the last one's.
            for (int i = 0; i < 2000 && ftp.QuitCount() < quits; ++i)
                std::this_thread::sleep_for(milliseconds(5));
            ASSERT_EQ(ftp.QuitCount(), quits);
            ++quits;
            std::thread esc;
            if (press_esc) {
                esc = std::thread([&] {
                    while (ftp.QuitCount() < quits) std::this_thread::sleep_for(milliseconds(5));
                    stop.Stop();
                });
            }
            auto fetched = std::async(std::launch::async, [&] { return Fetch(ftp.Url(), o); });
            // Guards against a client that waits for the answer, rather than measuring anything:
            // the answer goes out after a while, so that such a client ends all the same.
            const bool ended_unanswered =
                fetched.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
            ftp.AnswerQuit(true);
            const Outcome out = fetched.get();
            if (esc.joinable()) esc.join();
            EXPECT_TRUE(ended_unanswered);
            EXPECT_EQ(out.failure.kind, Kind::kNone) << out.failure.text;
            EXPECT_TRUE(out.body == content);
        }
    }
}

struct CodedCase {
    const char* name;
    std::string content_encoding;  // as sent
    std::string wire;              // the body as sent
    Kind kind;                     // of the read that ended the body
    bool whole;                    // the body is all of the text (else the start of it, or none)
};

// The client decodes a compressed body itself, so that a stream that stops short shows: the
// connection ends as its length header (or last chunk) says, and libcurl alone would call the body
// complete. Whole, it is the page; stopped short, it is the part that decoded, and the page came
// in part as if the connection had been cut. Every coding the client asks for, the raw deflate
// some servers send, two codings one over the other; sent at once and a byte a chunk.
TEST(FailureKinds, CompressedBodyThatStopsShortIsPartOfThePage) {
    NoProxySettings no_proxy_settings;
    LoopbackServer server;
    std::string text;
    for (int line = 0; text.size() < 60000; ++line)
        text += "line " + std::to_string(line) + ": 日本語のページ\n";
    const auto cut = [](std::string wire, std::size_t keep) { return wire.substr(0, keep); };
    std::vector<CodedCase> cases;
    for (const Coding coding :
         {Coding::kGzip, Coding::kDeflate, Coding::kRawDeflate, Coding::kBr, Coding::kZstd}) {
        const std::string wire = EncodeBytes(text, coding);
        const std::string name = ContentEncodingOf(coding);
        cases.push_back({"whole", name, wire, Kind::kNone, true});
        cases.push_back({"half", name, cut(wire, wire.size() / 2), Kind::kCutOff, false});
        // A gzip or zlib stream then lacks only its check value: all of the text is there.
        cases.push_back(
            {"all but 3 bytes", name, cut(wire, wire.size() - 3), Kind::kCutOff, false});
    }
    const std::string twice = EncodeBytes(EncodeBytes(text, Coding::kGzip), Coding::kBr);
    cases.push_back({"gzip then br", "gzip, BR", twice, Kind::kNone, true});
    cases.push_back(
        {"gzip then br, half", "gzip, br", cut(twice, twice.size() / 2), Kind::kCutOff, false});
    const std::string gzip = EncodeBytes(text, Coding::kGzip);
    // What follows the end of the stream is not the page, and takes nothing from it.
    cases.push_back({"bytes after the end", "gzip", gzip + "junk", Kind::kNone, true});
    cases.push_back({"identity", "identity", text, Kind::kNone, true});
    cases.push_back({"a coding not asked for", "compress", gzip, Kind::kOther, false});
    for (const Framing framing : {Framing::kContentLength, Framing::kChunked}) {
        for (const CodedCase& c : cases) {
            SCOPED_TRACE(testing::Message() << c.content_encoding << ", " << c.name << ", framing "
                                            << static_cast<int>(framing));
            Reply reply = Reply::Ok(c.wire, "text/plain");
            reply.headers.push_back({"Content-Encoding", c.content_encoding});
            reply.framing = framing;
            if (framing == Framing::kChunked) reply.chunk_size = 1;
            server.Serve("/coded", reply);
            // No case stalls: a busy machine must not make one look as if it did.
            urlclient::SessionOptions o = ShortOptions();
            o.limits.stall_timeout = std::chrono::seconds(30);
            const Outcome out = Fetch(server.Url("/coded"), o);
            EXPECT_EQ(out.failure.kind, c.kind) << out.failure.text;
            if (c.whole)
                EXPECT_TRUE(out.body == text) << out.body.size();
            else
                EXPECT_TRUE(text.starts_with(out.body)) << out.body.size();
        }
    }
}

}  // namespace
