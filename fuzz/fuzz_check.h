#pragma once

#include <QString>
#include <cstdio>
#include <cstdlib>

// Stops the run with a report when a property of a result fails, so libFuzzer keeps the input that
// broke it as a crash artifact.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

// True when every CR in `text` starts a CR LF pair and every LF ends one: the only line breaks the
// window ever shows.
inline bool HasOnlyCrLfBreaks(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n')) return false;
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) return false;
    }
    return true;
}
