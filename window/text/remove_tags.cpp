#include "window/text/remove_tags.h"

#include <re2/re2.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "platform/codepage/byte_rules.h"
#include "window/text/large_pages.h"

// How the rules are driven
// ------------------------
// Every rule is a pattern that starts with '<', so the text is walked from one candidate '<' to the
// next, a few bytes after it are compared by hand as a cheap necessary condition, and only then is
// the pattern matched, anchored at that '<'. For the first four rules a candidate is a '<' followed
// by a space or by the first letter of the tag name, found sixteen bytes at a time; most '<' of a
// page are never looked at one by one. A match is replaced and the walk goes on after it, as a
// replace-all does. The result of a rule is never longer than its input (the shortest line-break
// tag is longer than CR LF), so each rule rewrites the one buffer in place: the write position
// never passes the position being matched, and the engine only ever reads bytes not yet rewritten.
//
// The engine matches in time linear in what it reads, but a walk that retried a failed match at
// every later '<' would still read the same tail again and again (think of a page full of unclosed
// "<script"). What a failure proves is used instead:
//  - rules 1 to 4: once the hand check has passed, a match can fail only because no closing text
//    ("</script>", "-->", "</style>", '>') follows anywhere; any later candidate would need the
//    same closing text further on, so the rule is over;
//  - rule 5: "<.+?>" fails at a '<' only when no '>' comes before the next line break; every '<'
//    before that line break fails for the same reason, so the walk resumes at the line break.
//    Its match is simple enough to find by hand (the first '>' past the character after '<', with
//    no LF between), which spares the engine's cost per call at every tag of the page.
// Each rule therefore reads the text a bounded number of times, whatever the page.
//
// The rules read a shadow of the text, one byte per UTF-16 unit: an ASCII unit as itself and any
// other unit as 0x80, with the engine in Latin-1 mode. Every literal of the patterns is ASCII, 0x80
// is no letter in either case and no line break, so a match in the shadow is a match in the text,
// unit for unit; each rewrite is made in both. Letters fold in ASCII only, as tag names do. A
// lone surrogate becomes U+FFFD on the way in, as a trip through UTF-8 would make it.

namespace {

// The rules, in the order they run, each applied to the result of the one before. Rule 4 differs
// from the plain "< *br *>" so that "<br/>", "<br />" and "<br clear=all>" break the line as "<br>"
// does, while a tag whose name merely begins with "br" ("<bread>") does not.
constexpr const char* kScriptPattern = "< *script.*?</script *?>";
constexpr const char* kCommentPattern = "<!--.*?-->";
constexpr const char* kStylePattern = "< *style.+?</style *>";
constexpr const char* kBreakPattern = "< *br(?:[ \t/][^>]*)?>";
// Rule 5, "<.+?>", is matched by hand (see ApplyRule).

RE2::Options RuleOptions() {
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_case_sensitive(false);
    options.set_log_errors(false);
    return options;
}

// Compiled once per process; RE2 objects may be shared by threads that only match.
struct Patterns {
    RE2 script{kScriptPattern, RuleOptions()};
    RE2 comment{kCommentPattern, RuleOptions()};
    RE2 style{kStylePattern, RuleOptions()};
    RE2 lineBreak{kBreakPattern, RuleOptions()};

    bool ok() const { return script.ok() && comment.ok() && style.ok() && lineBreak.ok(); }
};

const Patterns& GetPatterns() {
    static const Patterns patterns;
    return patterns;
}

// Position just past '<', any spaces, and the lower-case ASCII word `word` in any case, or npos.
std::size_t SkipOpening(std::string_view text, std::size_t lt, std::string_view word) {
    std::size_t pos = lt + 1;
    while (pos < text.size() && text[pos] == ' ') ++pos;
    if (text.size() - pos < word.size()) return std::string_view::npos;
    for (char c : word) {
        if (codepage::LowerAscii(text[pos]) != c) return std::string_view::npos;
        ++pos;
    }
    return pos;
}

// The hand checks: true when the rule's pattern may match at the '<' at `lt`. Each is a necessary
// condition, and for rules 1 to 4 it covers everything before the part that looks for the closing
// text (see above).
bool MayBeScript(std::string_view text, std::size_t lt) {
    return SkipOpening(text, lt, "script") != std::string_view::npos;
}

bool MayBeComment(std::string_view text, std::size_t lt) {
    return text.substr(lt, 4) == "<!--";
}

bool MayBeStyle(std::string_view text, std::size_t lt) {
    return SkipOpening(text, lt, "style") != std::string_view::npos;
}

bool MayBeBreak(std::string_view text, std::size_t lt) {
    const std::size_t pos = SkipOpening(text, lt, "br");
    if (pos == std::string_view::npos || pos == text.size()) return false;
    const char c = text[pos];
    return c == '>' || c == ' ' || c == '\t' || c == '/';
}

bool MayBeTag(std::string_view, std::size_t) {
    return true;
}

constexpr std::size_t kNone = std::string_view::npos;

// Position of the first '<' at or after `from` followed by a space or by a byte that is `letter`
// once bit 0x20 is set (so either case of an ASCII letter), or kNone. Never reads past `size`.
std::size_t FindOpening(const char* data, std::size_t from, std::size_t size, char letter) {
    std::size_t pos = from;
#if defined(__SSE2__)
    const __m128i lessThan = _mm_set1_epi8('<');
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i caseBit = _mm_set1_epi8(0x20);
    const __m128i wanted = _mm_set1_epi8(letter);
    for (; size >= 17 && pos <= size - 17; pos += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos + 1));
        const __m128i nextOk = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(next, caseBit), wanted),
                                            _mm_cmpeq_epi8(next, space));
        const int mask = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, lessThan), nextOk));
        if (mask != 0) return pos + static_cast<std::size_t>(__builtin_ctz(mask));
    }
#endif
    for (; pos + 1 < size; ++pos) {
        const char next = data[pos + 1];
        if (data[pos] == '<' && ((next | 0x20) == letter || next == ' ')) return pos;
    }
    return kNone;
}

enum class OnFailure { kRuleIsOver, kResumeAtLineBreak };

struct Rule {
    const RE2* pattern;  // null for rule 5, matched by hand
    char second;  // what the byte after '<' must be, bit 0x20 set (or a space); 0 for anything
    bool (*mayMatchAt)(std::string_view text, std::size_t lt);
    std::string_view replacement;
    OnFailure onFailure;
};

// The text being rewritten: its UTF-16 units and their shadow (see above), always the same
// length. Rewrites happen in place: a result is never longer than what it replaces.
struct Work {
    char16_t* units;
    char* shadow;
    std::size_t size;

    // Moves `length` units from `from` down to `to`.
    void Move(std::size_t to, std::size_t from, std::size_t length) {
        if (to == from || length == 0) return;
        std::memmove(units + to, units + from, length * sizeof(char16_t));
        std::memmove(shadow + to, shadow + from, length);
    }
    // Writes the ASCII `text` at `to`.
    void Write(std::size_t to, std::string_view text) {
        for (char c : text) {
            units[to] = static_cast<unsigned char>(c);
            shadow[to++] = c;
        }
    }
};

// Replaces every match of `rule` in `work`, leftmost first and without overlap, in place.
void ApplyRule(Work& work, const Rule& rule) {
    char* const data = work.shadow;
    const std::size_t size = work.size;
    const std::string_view view(data, size);
    const re2::StringPiece piece(data, size);

    std::size_t lngRead = 0;   // start of the units not yet copied to the result
    std::size_t lngWrite = 0;  // end of the result so far
    std::size_t lngSearch = 0;
    std::size_t lngNextLf = 0;  // the first LF after the '<' being tried (rule 5), or `size`
    while (lngSearch < size) {
        std::size_t lt;
        if (rule.second != 0) {
            lt = FindOpening(data, lngSearch, size, rule.second);
            if (lt == kNone) break;
        } else {
            const void* found = std::memchr(data + lngSearch, '<', size - lngSearch);
            if (found == nullptr) break;
            lt = static_cast<const char*>(found) - data;
        }
        if (!rule.mayMatchAt(view, lt)) {
            lngSearch = lt + 1;
            continue;
        }
        std::size_t lngMatch = 0;
        if (rule.pattern == nullptr) {
            // "<.+?>" by hand, '.' being any byte but LF: the match ends at the first '>' past the
            // one character after '<' and before the next LF. The engine's fixed cost per call
            // would be most of the time on a page with a tag every few characters.
            if (lngNextLf <= lt) {
                const void* lf = std::memchr(data + lt + 1, '\n', size - lt - 1);
                lngNextLf = lf == nullptr
                                ? size
                                : static_cast<std::size_t>(static_cast<const char*>(lf) - data);
            }
            const void* gt = lngNextLf > lt + 2
                                 ? std::memchr(data + lt + 2, '>', lngNextLf - (lt + 2))
                                 : nullptr;
            if (gt != nullptr) lngMatch = static_cast<const char*>(gt) - (data + lt) + 1;
        } else {
            re2::StringPiece match;
            if (rule.pattern->Match(piece, lt, size, RE2::ANCHOR_START, &match, 1)) {
                lngMatch = match.size();
            }
        }
        if (lngMatch == 0) {
            if (rule.onFailure == OnFailure::kRuleIsOver) break;
            const void* lf = std::memchr(data + lt + 1, '\n', size - lt - 1);
            if (lf == nullptr) break;
            lngSearch = static_cast<const char*>(lf) - data;
            continue;
        }
        work.Move(lngWrite, lngRead, lt - lngRead);
        lngWrite += lt - lngRead;
        work.Write(lngWrite, rule.replacement);
        lngWrite += rule.replacement.size();
        lngRead = lngSearch = lt + lngMatch;
    }
    work.Move(lngWrite, lngRead, size - lngRead);
    work.size = lngWrite + (size - lngRead);
}

// Copies `size` units from `text` into `work`, making their shadow and dropping every CR and LF:
// the CR LF pairs, then the lone LFs, then the lone CRs, which together is every CR and LF.
void CopyWithoutLineBreaks(const char16_t* text, std::size_t size, Work& work) {
    std::size_t lngWrite = 0;
    std::size_t i = 0;
    while (i < size) {
#if defined(__SSE2__)
        if (size - i >= 8) {
            // Eight units at a time while none is a line break or a surrogate.
            const __m128i zero = _mm_setzero_si128();
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            const __m128i isBreak = _mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16(u'\r')),
                                                 _mm_cmpeq_epi16(units, _mm_set1_epi16(u'\n')));
            const __m128i pastSurrogates = _mm_sub_epi16(units, _mm_set1_epi16(-0x2800));
            const __m128i isSurrogate =
                _mm_cmpeq_epi16(_mm_subs_epu16(pastSurrogates, _mm_set1_epi16(0x7FF)), zero);
            if (_mm_movemask_epi8(_mm_or_si128(isBreak, isSurrogate)) == 0) {
                const __m128i isAscii =
                    _mm_cmpeq_epi16(_mm_subs_epu16(units, _mm_set1_epi16(0x7F)), zero);
                const __m128i shadow = _mm_or_si128(
                    _mm_and_si128(isAscii, units), _mm_andnot_si128(isAscii, _mm_set1_epi16(0x80)));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(work.units + lngWrite), units);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(work.shadow + lngWrite),
                                 _mm_packus_epi16(shadow, zero));
                lngWrite += 8;
                i += 8;
                continue;
            }
        }
#endif
        char16_t unit = text[i++];
        if (unit == u'\r' || unit == u'\n') continue;
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (unit <= 0xDBFF && i < size && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
                work.units[lngWrite] = unit;
                work.shadow[lngWrite++] = static_cast<char>(0x80);
                unit = text[i++];
            } else {
                unit = u'\uFFFD';
            }
        }
        work.units[lngWrite] = unit;
        work.shadow[lngWrite++] = unit < 0x80 ? static_cast<char>(unit) : static_cast<char>(0x80);
    }
    work.size = lngWrite;
}

struct Entity {
    std::string_view name;  // after the '&'
    char replacement;
};

// Longer names first where one begins another.
constexpr Entity kEntities[] = {
    {"quot;", '"'}, {"quot", '"'}, {"amp;", '&'}, {"gt;", '>'}, {"lt;", '<'}, {"nbsp;", ' '},
};

// Decodes the five entities in one left-to-right pass, case-sensitively. Text that a decoding
// produced is behind the pass and never decoded again, so "&amp;lt;" shows as "&lt;".
void DecodeEntities(Work& work) {
    const char* const data = work.shadow;
    const std::size_t size = work.size;
    const std::string_view view(data, size);
    std::size_t lngRead = 0;
    std::size_t lngWrite = 0;
    std::size_t lngSearch = 0;
    while (lngSearch < size) {
        const void* found = std::memchr(data + lngSearch, '&', size - lngSearch);
        if (found == nullptr) break;
        const std::size_t amp = static_cast<const char*>(found) - data;
        lngSearch = amp + 1;
        const std::string_view rest = view.substr(amp + 1);
        for (const Entity& entity : kEntities) {
            if (!rest.starts_with(entity.name)) continue;
            work.Move(lngWrite, lngRead, amp - lngRead);
            lngWrite += amp - lngRead;
            work.Write(lngWrite++, std::string_view(&entity.replacement, 1));
            lngRead = lngSearch = amp + 1 + entity.name.size();
            break;
        }
    }
    work.Move(lngWrite, lngRead, size - lngRead);
    work.size = lngWrite + (size - lngRead);
}

}  // namespace

QString RemoveTags(const QString& text) {
    const Patterns& patterns = GetPatterns();
    // The patterns are fixed: one that cannot be built means no memory, and an empty result would
    // pass for a page without text.
    if (!patterns.ok()) throw std::bad_alloc();

    const Rule rules[] = {
        {&patterns.script, 's', MayBeScript, "", OnFailure::kRuleIsOver},
        {&patterns.comment, '!', MayBeComment, "", OnFailure::kRuleIsOver},
        {&patterns.style, 's', MayBeStyle, "", OnFailure::kRuleIsOver},
        {&patterns.lineBreak, 'b', MayBeBreak, "\r\n", OnFailure::kRuleIsOver},
        {nullptr, 0, MayBeTag, "", OnFailure::kResumeAtLineBreak},
    };

    // The result is written in place over a copy of the text, which no rule makes longer.
    const std::size_t lngLength = static_cast<std::size_t>(text.size());
    QString strText(text.size(), Qt::Uninitialized);
    std::unique_ptr<char[]> bytShadow(new char[lngLength]);
    Work work{reinterpret_cast<char16_t*>(strText.data()), bytShadow.get(), 0};
    AdviseLargePages(work.units, lngLength * sizeof(char16_t));
    AdviseLargePages(work.shadow, lngLength);
    PrefaultPages(work.units, lngLength * sizeof(char16_t));
    PrefaultPages(work.shadow, lngLength);
    CopyWithoutLineBreaks(reinterpret_cast<const char16_t*>(text.constData()), lngLength, work);
    for (const Rule& rule : rules) ApplyRule(work, rule);
    DecodeEntities(work);
    strText.resize(static_cast<qsizetype>(work.size));
    return strText;
}
