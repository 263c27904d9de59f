#pragma once

// A response body sent with a Content-Encoding, decoded as it comes. Internal to this folder.
//
// libcurl can decode bodies itself, but it reports a compressed stream that stops before its end
// (the connection closing where the declared length said it would) as a complete transfer. The
// client therefore takes the body as sent and decodes it here, where the end of each stream shows.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace urlclient {

// What the client asks for in Accept-Encoding: every coding BodyDecoder reads.
inline constexpr char kAcceptedEncodings[] = "gzip, deflate, br, zstd";

class BodyDecoder {
public:
    // Takes the decoded bytes a piece at a time; returns false to stop the decoding.
    using Sink = std::function<bool(std::span<const std::uint8_t>)>;

    enum class Status {
        kOk,       // all of the input was taken
        kStopped,  // the sink said stop
        kBad,      // the input is not in its coding: Error() says how
    };

    // For a Content-Encoding value: one coding or several ("gzip, br": gzip applied first), each
    // "gzip" ("x-gzip"), "deflate" (zlib-wrapped, or raw as some servers send it), "br", "zstd" or
    // "identity", in any case. Null for "identity" alone (nothing to decode); null with `error`
    // set for a coding it does not read. Throws std::bad_alloc when its memory cannot be had.
    static std::unique_ptr<BodyDecoder> For(std::string_view content_encoding, std::string& error);

    BodyDecoder();
    ~BodyDecoder();
    BodyDecoder(const BodyDecoder&) = delete;
    BodyDecoder& operator=(const BodyDecoder&) = delete;

    // Decodes the next bytes of the body as sent. Bytes after the end of a gzip, deflate or br
    // stream are ignored, as browsers ignore them; after a zstd frame, another may follow. Once it
    // has reported kBad, it reports kBad again. Throws std::bad_alloc as For() does.
    Status Feed(std::span<const std::uint8_t> input, const Sink& sink);
    // Whether any byte has been fed.
    bool Started() const { return started_; }
    // Whether every coding's stream has come to its end.
    bool Ended() const;
    // How the input was bad, in libcurl's manner (English).
    const std::string& Error() const { return error_; }

    class Stage;

private:
    Status Run(std::size_t stage, std::span<const std::uint8_t> input, const Sink& sink);

    std::vector<std::unique_ptr<Stage>> stages_;  // as applied by the server, first to last
    bool started_ = false;
    std::string error_;
};

}  // namespace urlclient
