#pragma once

#include <QString>

#include "window/fetch_text.h"

// Why a fetch brought nothing, in words for the user of this window: one or two lines, what
// happened and then what can be done about it or what libcurl said. `result` is a fetch that
// brought no text (any kind but kText and kUnexpectedError); for those two it gives an empty text.
QString DescribeReason(const FetchResult& result);
