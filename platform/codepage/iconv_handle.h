#pragma once

// Part of the code page's interface: an owned glibc iconv descriptor. The code page reads its
// tables through one; the kanji converter, which links the code page, owns its two converters the
// same way, so both close their descriptors alike and test iconv_open's failure value alike.

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
