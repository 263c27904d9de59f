#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// Page text from a fuzz input: its first byte chooses how the rest becomes text. UTF-8 reaches tags
// and entities quickly; raw UTF-16 code units also bring lone surrogates and characters the page
// decoding never makes.
inline QString TextFromInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return QString();
    if (data[0] & 1) {
        return QString::fromUtf8(reinterpret_cast<const char*>(data + 1),
                                 static_cast<qsizetype>(size - 1));
    }
    std::u16string units((size - 1) / 2, u'\0');
    std::memcpy(units.data(), data + 1, units.size() * sizeof(char16_t));
    return QString::fromStdU16String(units);
}
