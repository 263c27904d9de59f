#include "download/module1.h"

namespace Module1 {

std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy) {
    (void)proxy;
    if (url.isEmpty()) return 0;
    body.clear();
    return 0;
}

}  // namespace Module1
