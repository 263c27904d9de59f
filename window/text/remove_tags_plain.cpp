#include "window/text/remove_tags_plain.h"

#include <re2/re2.h>

#include <QStringDecoder>

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string ReplaceAll(const std::string& text, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t pos = 0;
    for (std::size_t found; (found = text.find(from, pos)) != std::string::npos;) {
        out.append(text, pos, found - pos);
        out += to;
        pos = found + from.size();
    }
    out.append(text, pos);
    return out;
}

struct Rule {
    const char* pattern;
    const char* replacement;
};

// The rules in the order they run. The line-break rule takes "<br/>", "<br />" and
// "<br clear=all>" as "<br>", and not "<bread>".
constexpr Rule kRules[] = {
    {"< *script.*?</script *?>", ""},   {"<!--.*?-->", ""}, {"< *style.+?</style *>", ""},
    {"< *br(?:[ \t/][^>]*)?>", "\r\n"}, {"<.+?>", ""},
};

// Longer names first where one begins another.
constexpr std::pair<std::string_view, char> kEntities[] = {
    {"&quot;", '"'}, {"&quot", '"'}, {"&amp;", '&'}, {"&gt;", '>'}, {"&lt;", '<'}, {"&nbsp;", ' '},
};

}  // namespace

QString RemoveTagsPlain(const QString& text) {
    // A lone surrogate cannot travel through UTF-8: it goes as U+FFFD.
    QString strText = text;
    for (qsizetype i = 0; i < strText.size(); ++i) {
        if (strText[i].isHighSurrogate() && i + 1 < strText.size() &&
            strText[i + 1].isLowSurrogate()) {
            ++i;
        } else if (strText[i].isSurrogate()) {
            strText[i] = QChar(QChar::ReplacementCharacter);
        }
    }
    std::string str = strText.toStdString();
    str = ReplaceAll(ReplaceAll(ReplaceAll(str, "\r\n", ""), "\n", ""), "\r", "");

    // Bytes rather than characters, so that letters fold in ASCII only; every literal of the
    // patterns is ASCII, and '.' is any byte but LF, so a match never splits a character. Built
    // once: RE2 objects may be shared by threads that only match.
    static const std::vector<std::unique_ptr<const RE2>> rules = [] {
        RE2::Options options;
        options.set_encoding(RE2::Options::EncodingLatin1);
        options.set_case_sensitive(false);
        options.set_log_errors(false);
        std::vector<std::unique_ptr<const RE2>> compiled;
        for (const Rule& rule : kRules)
            compiled.push_back(std::make_unique<RE2>(rule.pattern, options));
        return compiled;
    }();
    for (std::size_t k = 0; k < rules.size(); ++k) {
        if (!rules[k]->ok()) throw std::bad_alloc();
        RE2::GlobalReplace(&str, *rules[k], kRules[k].replacement);
    }

    std::string out;
    for (std::size_t i = 0; i < str.size();) {
        bool blnDecoded = false;
        for (const auto& [name, chr] : kEntities) {
            if (std::string_view(str).substr(i).starts_with(name)) {
                out += chr;
                i += name.size();
                blnDecoded = true;
                break;
            }
        }
        if (!blnDecoded) out += str[i++];
    }
    // A text that starts with U+FEFF keeps it: it is a character of the page here, not a mark of
    // the encoding, which QString::fromUtf8 would drop.
    QStringDecoder toUtf16(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return toUtf16(out);
}
