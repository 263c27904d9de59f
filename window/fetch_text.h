#pragma once

#include <QString>

#include "download/module1.h"

// What one fetch brought. A fetch hands back its failures in this value rather than throwing them,
// so that they reach the handler that asked, which decides what the window shows.
struct FetchResult {
    enum class Kind {
        kText,             // the page came: strText holds it as display text
        kNothing,          // nothing came: udtReason says why (no address, no answer, ...)
        kStopped,          // the user stopped the fetch with Esc: whatever came is dropped
        kNoMemory,         // the page came, but the memory to convert it could not be had
        kUnexpectedError,  // the fetch broke on an error it has no answer for: strError says which
    };
    Kind kind = Kind::kNothing;
    QString strText;
    QString strError;
    Module1::Reason udtReason;
};

// Downloads `strUrl` and converts the body to display text (Module1::DownloadBytes, then
// ConvertBody) on a worker thread, and returns when both have ended; `udtLimits` are the
// download's time-outs and size cap. Meanwhile this thread goes on painting and serving timers,
// while the program takes no keyboard, mouse or touch input and shows a busy cursor; input that
// arrives is dropped, so no handler can start while the fetch runs. Esc alone gets through: it
// stops the download at once (a conversion under way runs to its end and is dropped).
// A failure of the download or the conversion comes back in the result; only a fetch that cannot
// start (no thread, no memory for its event loop) throws. Call it from the window's thread, once
// urlclient::GlobalInit exists.
FetchResult FetchText(const QString& strUrl, const urlclient::Limits& udtLimits);
