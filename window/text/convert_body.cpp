#include "window/text/convert_body.h"

#include <sys/mman.h>

#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/codepage/codepage.h"
#include "platform/nkf/nkf.h"
#include "window/text/decode_with_crlf.h"
#include "window/text/large_pages.h"
#include "window/text/resize_bytes.h"

namespace {

// A buffer of zero bytes straight from the operating system: its pages cost memory only once the
// converter writes into them, so room for the worst case is affordable on large pages.
class ZeroPages {
public:
    ZeroPages() : lngLength_(0), pbyt_(nullptr) {}
    explicit ZeroPages(std::size_t lngLength) : lngLength_(lngLength) {
        void* pbyt =
            mmap(nullptr, lngLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        pbyt_ = pbyt == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(pbyt);
        if (pbyt_ != nullptr) AdviseLargePages(pbyt_, lngLength);
    }
    ZeroPages(ZeroPages&& other) noexcept
        : lngLength_(other.lngLength_), pbyt_(std::exchange(other.pbyt_, nullptr)) {}
    ZeroPages& operator=(ZeroPages&& other) noexcept {
        std::swap(lngLength_, other.lngLength_);
        std::swap(pbyt_, other.pbyt_);
        return *this;
    }
    ~ZeroPages() {
        if (pbyt_ != nullptr) munmap(pbyt_, lngLength_);
    }

    bool Valid() const { return pbyt_ != nullptr; }
    std::span<std::uint8_t> Bytes() const { return {pbyt_, lngLength_}; }

private:
    std::size_t lngLength_;
    std::uint8_t* pbyt_;
};

}  // namespace

QString ConvertBody(const std::vector<std::uint8_t>& body, const TextSizes& udtSizes) {
    // The converter gets 4 × N + 1 bytes of room, N being the body decoded through the code page
    // and encoded back. On a long page, measuring N is a pass worth running on a second thread
    // while the page converts, into a buffer that surely holds 4 × N + 1 bytes: each byte starts
    // at most one character, which encodes back to at most two bytes, so N is at most twice the
    // body. Only the pages the converter writes cost memory.
    std::size_t lngSize = 0;
    std::exception_ptr excMeasure;
    ZeroPages bytOutput;
    // Declared after the buffer, so that it is joined before the buffer goes.
    std::jthread thdMeasure;
    const codepage::TwoHalves udtHalves{udtSizes.lngHalvesFrom, udtSizes.lngBorderSearch};
    if (body.size() >= udtSizes.lngMeasureBesideFrom) {
        bytOutput = ZeroPages(8 * body.size() + 1);
        try {
            if (bytOutput.Valid()) {
                thdMeasure = std::jthread([&] {
                    // The Shift_JIS is hardly ever shorter than half the body: that much is
                    // surely written, and the converter finds it ready.
                    PrefaultPages(bytOutput.Bytes().data(), body.size() / 2);
                    try {
                        lngSize = codepage::RoundTripLength(body, udtHalves);
                    } catch (...) {
                        excMeasure = std::current_exception();
                    }
                });
            }
        } catch (const std::system_error&) {
            // No thread to be had: one after the other, then.
        }
    }
    if (!thdMeasure.joinable()) {
        // A short page, or no thread to be had: measure first, then take just the room, once the
        // address space taken for the worst case is given back.
        bytOutput = ZeroPages();
        lngSize = codepage::RoundTripLength(body, udtHalves);
        bytOutput = ZeroPages(4 * lngSize + 1);
        // An empty result would show as an empty page; the failure has to reach the window as one.
        if (!bytOutput.Valid()) throw std::bad_alloc();
        PrefaultPages(bytOutput.Bytes().data(), lngSize / 2);
    }
    nkf::SetNkfOption("s");
    const nkf::ConvertResult result = nkf::NkfConvert(bytOutput.Bytes(), body);
    if (thdMeasure.joinable()) thdMeasure.join();
    if (excMeasure) std::rethrow_exception(excMeasure);
    // A conversion that stopped short, or that would not have fitted the room, failed; the part
    // before the stop must not pass for the page.
    if (!result.complete || result.written + 1 > 4 * lngSize + 1) {
        throw std::runtime_error("the kanji converter stopped part-way");
    }
    // Past the converter's terminating zero the buffer holds only zeros, so trimming up to it
    // gives what trimming the whole buffer would, without touching the pages beyond.
    std::span<std::uint8_t> bytArray = bytOutput.Bytes().first(result.written + 1);
    ResizeBytes(bytArray);
    return DecodeWithCrLf(bytArray, udtSizes);
}
