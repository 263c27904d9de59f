#pragma once

#include <QString>

#include "window/text/text_sizes.h"

// Reduces page text to plain text. Drops every line break; removes script elements, comments, style
// elements (each with its content) and every other tag; turns each line-break tag ("<br>",
// "<BR clear=all>", "<br />") into CR LF; then decodes &quot; (with or without its semicolon),
// &amp;, &gt;, &lt; and &nbsp;, once each, left to right. `text` is not changed.
// Takes time linear in the length of the text, whatever it holds. Throws std::bad_alloc when the
// tag patterns cannot be built (they are fixed, so that means the process is out of memory). A
// text up to udtSizes.lngKeptRoom units long works in room kept from the call before.
QString RemoveTags(const QString& text, const TextSizes& udtSizes = {});
