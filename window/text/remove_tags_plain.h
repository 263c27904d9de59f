#pragma once

#include <QString>

// RemoveTags the plain way: the line breaks dropped by three plain replacements, each rule one
// replace-all of its pattern by RE2, the entities decoded in one left-to-right pass, all on the
// text as UTF-8. What RemoveTags gives with its shadow, its hand checks and its in-place rewrites
// must be what this gives; the differential fuzz target and the tests compare the two. Slower by
// far, and not for the program's own use. Throws std::bad_alloc when a pattern cannot be built.
QString RemoveTagsPlain(const QString& text);
