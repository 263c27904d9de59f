#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace Module1 {

// Downloads the body of `url` into `body` and returns its length in bytes.
// An empty proxy uses the system's proxy settings; otherwise `proxy` names the proxy for every
// address. Returns 0 on any failure or an empty body; `body` is then emptied (or left alone for an
// empty url).
std::int32_t DownloadBytes(QString url, std::vector<std::uint8_t>& body, QString proxy);

}  // namespace Module1
