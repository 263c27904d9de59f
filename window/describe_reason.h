#pragma once

#include <QString>

#include "platform/urlclient/url_client.h"

// Why a fetch brought nothing, or only part of the page, in words for the user of this window.
// For a page that came whole (kind kNone) it gives an empty text. For nothing, one or two lines:
// what happened, naming the server or the proxy, then what can be done about it or what libcurl
// said; they go in the empty result box. For a page that came in part (partial_bytes nonzero), one
// line that says the page is incomplete and why; it goes under the character count.
// `strTyped` is the URL as the user typed it: a URL that cannot be used is named so, since that is
// what the user sees and mends; empty, none is named.
QString DescribeFailure(const urlclient::Failure& udtFailure, const QString& strTyped = QString());
