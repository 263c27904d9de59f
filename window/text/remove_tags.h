#pragma once

#include <QString>

// Reduces page text to plain text: drops line breaks, removes scripts, comments, styles and tags,
// turns line-break tags into CR LF and decodes five character entities.
QString RemoveTags(const QString& text);
