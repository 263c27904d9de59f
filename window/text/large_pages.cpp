#include "window/text/large_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {

// Gives `advice` for the whole pages inside the `lngLength` bytes at `pbyt`.
void AdviseWholePages(void* pbyt, std::size_t lngLength, int advice) {
    const std::uintptr_t lngPage = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t lngStart =
        (reinterpret_cast<std::uintptr_t>(pbyt) + lngPage - 1) & ~(lngPage - 1);
    const std::uintptr_t lngEnd =
        (reinterpret_cast<std::uintptr_t>(pbyt) + lngLength) & ~(lngPage - 1);
    if (lngEnd > lngStart) madvise(reinterpret_cast<void*>(lngStart), lngEnd - lngStart, advice);
}

}  // namespace

void AdviseLargePages(void* pbyt, std::size_t lngLength) {
    AdviseWholePages(pbyt, lngLength, MADV_HUGEPAGE);
}

void PrefaultPages(void* pbyt, std::size_t lngLength) {
#if defined(MADV_POPULATE_WRITE)
    AdviseWholePages(pbyt, lngLength, MADV_POPULATE_WRITE);
#else
    static_cast<void>(pbyt);
    static_cast<void>(lngLength);
#endif
}
