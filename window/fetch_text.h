#pragma once

#include <QString>
#include <cstdint>
#include <functional>

#include "download/module1.h"
#include "window/progress_text.h"

// Why a fetch brought nothing, or only part of the page: the download's account as it came, and
// what the window found itself beside it.
struct FetchFailure {
    enum class Kind {
        kNone,               // nothing more than the download says
        kNoMemoryToConvert,  // the page came, the memory to convert it did not
        kZeroByte,           // the page's text ends at a zero byte, after `lngShownBytes` bytes
    };
    Kind kind = Kind::kNone;
    std::uint64_t lngShownBytes = 0;  // kZeroByte
    Module1::DownloadFailure udtDownload;

    // Whether the page came whole: nothing to say.
    bool IsNone() const {
        return kind == Kind::kNone && udtDownload.kind == Module1::DownloadFailure::Kind::kNone;
    }
};

// What one fetch brought. A fetch hands back its failures in this value rather than throwing them,
// so that they reach the handler that asked, which decides what the window shows.
struct FetchResult {
    // The page as display text; empty when nothing came.
    QString strText;
    // Why nothing came (strText empty), or why the text is only part of the page; none when the
    // page came whole.
    FetchFailure udtFailure;
    // The fetch broke on an error it has no answer for: strError says which.
    bool blnUnexpectedError = false;
    QString strError;
};

// Downloads `strUrl` and converts the body to display text (Module1::DownloadBytes, then
// ConvertBody) on a worker thread, and returns when both have ended; `udtLimits` are the
// download's time-outs and size cap. Meanwhile this thread goes on painting and serving timers,
// while the program takes no keyboard, mouse or touch input and shows a busy cursor; input that
// arrives is dropped, so no handler can start while the fetch runs. Esc alone gets through: it
// stops the download at once, and whatever came of it is dropped; a page that had already come
// whole is converted and shown all the same.
// A failure of the download or the conversion comes back in the result; only a fetch that cannot
// start (no thread, no memory for its event loop) throws. Call it from the window's thread, once
// urlclient::GlobalInit exists.
// While the fetch runs past a moment (a third of a second), `fnShowProgress` is called on this
// thread, at most ten times a second, with where it stands; a fetch that ends sooner never calls
// it.
FetchResult FetchText(const QString& strUrl, const urlclient::Limits& udtLimits,
                      const std::function<void(const FetchProgress&)>& fnShowProgress = {});
