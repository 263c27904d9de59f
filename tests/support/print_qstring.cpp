#include "tests/support/print_qstring.h"

void PrintTo(const QString& str, std::ostream* os) {
    *os << '"' << str.toStdString() << '"';
}
