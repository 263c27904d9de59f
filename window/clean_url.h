#pragma once

#include <QString>

// The URL the user meant, from what was typed or pasted in the URL box:
// - what a paste brings around it goes: white space (the ideographic space of a Japanese input
//   method too) and the zero-width characters that some pages and editors carry along;
// - ASCII tab, LF and CR go from anywhere, as browsers drop them: a mail program wraps a long URL;
// - in the part up to the end of the host and port (scheme, "://", user name and password, host,
//   port, and the "/", "?" or "#" that ends them), the full-width forms of ASCII (U+FF01-U+FF5E)
//   and the ideographic space become ASCII: a Japanese input method left in full-width mode types
//   "ｈｔｔｐ：／／". The path, query and fragment keep their characters: a search for a full-width
//   word stays full-width.
// A URL without "://" is taken as a host with no scheme, as libcurl takes it. Returns the empty
// text when nothing is left.
QString CleanUrl(const QString& strTyped);
