#pragma once

// Failure messages show texts as text rather than as UTF-16 units: GoogleTest finds this printer
// for QString through the type's namespace (the global one) in any test that includes this header.

#include <QString>
#include <ostream>

void PrintTo(const QString& str, std::ostream* os);
