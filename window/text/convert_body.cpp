#include "window/text/convert_body.h"

QString ConvertBody(const std::vector<std::uint8_t>& body) {
    return QString::fromLatin1(reinterpret_cast<const char*>(body.data()),
                               static_cast<qsizetype>(body.size()));
}
