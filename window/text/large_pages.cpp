#include "window/text/large_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

void AdviseLargePages(void* pbyt, std::size_t lngLength) {
    const std::uintptr_t lngPage = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t lngStart =
        (reinterpret_cast<std::uintptr_t>(pbyt) + lngPage - 1) & ~(lngPage - 1);
    const std::uintptr_t lngEnd =
        (reinterpret_cast<std::uintptr_t>(pbyt) + lngLength) & ~(lngPage - 1);
    if (lngEnd > lngStart) {
        madvise(reinterpret_cast<void*>(lngStart), lngEnd - lngStart, MADV_HUGEPAGE);
    }
}
