#include "window/text/remove_tags.h"

QString RemoveTags(const QString& text) {
    return text;
}
