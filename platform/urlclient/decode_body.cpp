#include "platform/urlclient/decode_body.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <new>

namespace urlclient {

using Status = BodyDecoder::Status;

// One coding's decoder. Each hands its output on in pieces of one buffer's size.
class BodyDecoder::Stage {
public:
    virtual ~Stage() = default;
    // Decodes `input` and hands every piece of output to `emit`; `error` says how bad input was.
    virtual Status Decode(std::span<const std::uint8_t> input, const Sink& emit,
                          std::string& error) = 0;
    virtual bool Ended() const = 0;

protected:
    std::vector<std::uint8_t> out_ = std::vector<std::uint8_t>(std::size_t{64} << 10);
};

namespace {

using Bytes = std::span<const std::uint8_t>;

// gzip, and deflate: zlib-wrapped as the standard says, or raw as some servers send it.
class ZlibStage final : public BodyDecoder::Stage {
public:
    explicit ZlibStage(bool deflate) : deflate_(deflate) {
        // 15 + 32: a zlib or a gzip header, whichever comes.
        if (inflateInit2(&z_, 15 + 32) != Z_OK) throw std::bad_alloc();
    }
    ~ZlibStage() override { inflateEnd(&z_); }

    Status Decode(Bytes input, const BodyDecoder::Sink& emit, std::string& error) override {
        if (ended_) return Status::kOk;
        const std::size_t before = z_.total_in;
        const Status status = Inflate(input, emit, error);
        // A header that is neither zlib's nor gzip's shows within its first two bytes.
        if (status != Status::kBad || !deflate_ || raw_ || z_.total_out != 0 || before >= 2)
            return status;
        raw_ = true;
        error.clear();
        if (inflateReset2(&z_, -15) != Z_OK) throw std::bad_alloc();
        const Status head = Inflate(Bytes(head_.data(), before), emit, error);
        return head == Status::kOk ? Inflate(input, emit, error) : head;
    }
    bool Ended() const override { return ended_; }

private:
    Status Inflate(Bytes input, const BodyDecoder::Sink& emit, std::string& error) {
        if (!raw_) {
            // Kept for a second reading as raw deflate.
            const std::size_t keep = std::min(head_.size() - head_used_, input.size());
            std::copy_n(input.begin(), keep,
                        head_.begin() + static_cast<std::ptrdiff_t>(head_used_));
            head_used_ += keep;
        }
        z_.next_in = const_cast<Bytef*>(input.data());
        z_.avail_in = static_cast<uInt>(input.size());
        for (;;) {
            z_.next_out = out_.data();
            z_.avail_out = static_cast<uInt>(out_.size());
            const int rc = inflate(&z_, Z_NO_FLUSH);
            const std::size_t produced = out_.size() - z_.avail_out;
            if (produced > 0 && !emit(Bytes(out_.data(), produced))) return Status::kStopped;
            if (rc == Z_STREAM_END) {
                ended_ = true;
                return Status::kOk;
            }
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                error = std::string(deflate_ ? "deflate" : "gzip") + ": " +
                        (z_.msg != nullptr ? z_.msg : "bad data");
                return Status::kBad;
            }
            // Everything taken and nothing more held back, or no way forward without more input.
            if ((z_.avail_in == 0 && z_.avail_out != 0) || (rc == Z_BUF_ERROR && produced == 0))
                return Status::kOk;
        }
    }

    z_stream z_{};
    const bool deflate_;
    bool raw_ = false;
    bool ended_ = false;
    std::array<std::uint8_t, 2> head_{};
    std::size_t head_used_ = 0;
};

class BrotliStage final : public BodyDecoder::Stage {
public:
    BrotliStage() : state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {
        if (state_ == nullptr) throw std::bad_alloc();
    }
    ~BrotliStage() override { BrotliDecoderDestroyInstance(state_); }

    Status Decode(Bytes input, const BodyDecoder::Sink& emit, std::string& error) override {
        if (ended_) return Status::kOk;
        std::size_t avail_in = input.size();
        const std::uint8_t* next_in = input.data();
        for (;;) {
            std::size_t avail_out = out_.size();
            std::uint8_t* next_out = out_.data();
            const BrotliDecoderResult result = BrotliDecoderDecompressStream(
                state_, &avail_in, &next_in, &avail_out, &next_out, nullptr);
            const std::size_t produced = out_.size() - avail_out;
            if (produced > 0 && !emit(Bytes(out_.data(), produced))) return Status::kStopped;
            switch (result) {
                case BROTLI_DECODER_RESULT_SUCCESS:
                    ended_ = true;
                    return Status::kOk;
                case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
                    return Status::kOk;
                case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
                    break;
                case BROTLI_DECODER_RESULT_ERROR:
                    error = std::string("br: ") +
                            BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state_));
                    return Status::kBad;
            }
        }
    }
    bool Ended() const override { return ended_; }

private:
    BrotliDecoderState* const state_;
    bool ended_ = false;
};

// zstd: one frame or several after one another.
class ZstdStage final : public BodyDecoder::Stage {
public:
    ZstdStage() : stream_(ZSTD_createDStream()) {
        if (stream_ == nullptr) throw std::bad_alloc();
    }
    ~ZstdStage() override { ZSTD_freeDStream(stream_); }

    Status Decode(Bytes input, const BodyDecoder::Sink& emit, std::string& error) override {
        ZSTD_inBuffer in{input.data(), input.size(), 0};
        for (;;) {
            ZSTD_outBuffer out{out_.data(), out_.size(), 0};
            const std::size_t hint = ZSTD_decompressStream(stream_, &out, &in);
            if (ZSTD_isError(hint)) {
                error = std::string("zstd: ") + ZSTD_getErrorName(hint);
                return Status::kBad;
            }
            if (out.pos > 0 && !emit(Bytes(out_.data(), out.pos))) return Status::kStopped;
            // 0: a frame is whole and all of it handed out.
            frame_whole_ = hint == 0;
            if (in.pos == in.size && out.pos < out.size) return Status::kOk;
        }
    }
    bool Ended() const override { return frame_whole_; }

private:
    ZSTD_DStream* const stream_;
    bool frame_whole_ = false;
};

// libcurl's limit too: a reply that stacks more codings than this is not a page.
constexpr std::size_t kMaxStages = 5;

}  // namespace

BodyDecoder::BodyDecoder() = default;
BodyDecoder::~BodyDecoder() = default;

std::unique_ptr<BodyDecoder> BodyDecoder::For(std::string_view content_encoding,
                                              std::string& error) {
    error.clear();
    auto decoder = std::make_unique<BodyDecoder>();
    while (!content_encoding.empty()) {
        const std::size_t comma = std::min(content_encoding.find(','), content_encoding.size());
        std::string coding(content_encoding.substr(0, comma));
        content_encoding.remove_prefix(std::min(comma + 1, content_encoding.size()));
        coding.erase(0, coding.find_first_not_of(" \t"));
        coding.erase(coding.find_last_not_of(" \t") + 1);
        std::transform(coding.begin(), coding.end(), coding.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        if (coding.empty() || coding == "identity") continue;
        if (decoder->stages_.size() == kMaxStages) {
            error = "too many content encodings";
            return nullptr;
        }
        if (coding == "gzip" || coding == "x-gzip") {
            decoder->stages_.push_back(std::make_unique<ZlibStage>(false));
        } else if (coding == "deflate") {
            decoder->stages_.push_back(std::make_unique<ZlibStage>(true));
        } else if (coding == "br") {
            decoder->stages_.push_back(std::make_unique<BrotliStage>());
        } else if (coding == "zstd") {
            decoder->stages_.push_back(std::make_unique<ZstdStage>());
        } else {
            error = "unrecognized content encoding: " + coding;
            return nullptr;
        }
    }
    if (decoder->stages_.empty()) return nullptr;
    return decoder;
}

Status BodyDecoder::Feed(std::span<const std::uint8_t> input, const Sink& sink) {
    if (!error_.empty()) return Status::kBad;
    if (input.empty()) return Status::kOk;
    started_ = true;
    return Run(stages_.size() - 1, input, sink);
}

Status BodyDecoder::Run(std::size_t stage, std::span<const std::uint8_t> input, const Sink& sink) {
    // The coding applied last is undone first; each stage's output is the input of the one before.
    if (stage == 0) return stages_[0]->Decode(input, sink, error_);
    Status inner = Status::kOk;
    const Sink next = [&](std::span<const std::uint8_t> piece) {
        inner = Run(stage - 1, piece, sink);
        return inner == Status::kOk;
    };
    const Status status = stages_[stage]->Decode(input, next, error_);
    return inner != Status::kOk ? inner : status;
}

bool BodyDecoder::Ended() const {
    return std::all_of(stages_.begin(), stages_.end(),
                       [](const std::unique_ptr<Stage>& stage) { return stage->Ended(); });
}

}  // namespace urlclient
