#pragma once

// An owned glibc iconv descriptor, shared by the code page and the kanji converter.

#include <iconv.h>

#include <memory>
#include <type_traits>

namespace codepage {

struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// Null when glibc has no converter between the two encodings (iconv_open's (iconv_t)-1).
inline IconvHandle OpenIconv(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    return IconvHandle(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);
}

}  // namespace codepage
