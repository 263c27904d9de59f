#include "window/text/remove_tags.h"

#include <re2/re2.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
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
// unit for unit. Rewrites only ever write ASCII, so the non-ASCII units are kept apart, in order,
// and only ever kept or dropped with their shadow; the text is put together once, at its final
// length, which holds the memory of a flip to what the shadow and those units take. Letters fold
// in ASCII only, as tag names do. A lone surrogate becomes U+FFFD on the way in, as a trip through
// UTF-8 would make it.

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

constexpr char kOther = static_cast<char>(0x80);  // the shadow of every non-ASCII unit

// The number of kOther bytes among the `length` at `data`.
std::size_t CountOthers(const char* data, std::size_t length) {
    std::size_t lngCount = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Each byte of `counts` counts kOther in its lane: a match compares as 0xFF, minus one, so
    // subtracting it adds one. A byte holds at most 255, so the lanes are summed every 255 blocks;
    // _mm_sad_epu8 against zero adds each half's eight bytes into a 64-bit lane.
    const __m128i other = _mm_set1_epi8(kOther);
    const __m128i zero = _mm_setzero_si128();
    while (length - i >= 16) {
        __m128i counts = zero;
        for (int k = 0; k < 255 && length - i >= 16; ++k, i += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(bytes, other));
        }
        const __m128i sums = _mm_sad_epu8(counts, zero);
        lngCount += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                    static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; i < length; ++i) lngCount += data[i] == kOther ? 1 : 0;
    return lngCount;
}

// The text being rewritten: its shadow (see above), and apart from it the non-ASCII units in
// order, one for each kOther byte; an ASCII unit is its own shadow byte. Rewrites happen in place
// (a result is never longer than what it replaces) and only ever write ASCII, so the non-ASCII
// units are only ever kept or dropped with the stretch of shadow they stand in.
struct Work {
    char* shadow;
    std::size_t size;
    char16_t* others;
    std::size_t otherCount;
};

// A pass that rewrites `work` front to back: stretches of the old text are kept (moved down to
// the end of the new one) or dropped, and ASCII written in between.
//
// Until a dropped stretch holds a non-ASCII unit, the non-ASCII units of the new text are those of
// the old one at the same places: none has to move, and none is counted. Markup is ASCII, so on
// most pages that lasts the whole pass, and a kept stretch costs one move of its shadow. From the
// first non-ASCII unit dropped on, the two are counted and moved stretch by stretch.
class Rewriter {
public:
    explicit Rewriter(Work& work) : work_(work) {}

    // Keeps the old text up to `end`.
    void KeepTo(std::size_t end) {
        const std::size_t length = end - read_;
        if (write_ != read_) std::memmove(work_.shadow + write_, work_.shadow + read_, length);
        if (!inStep_) {
            const std::size_t others = CountOthers(work_.shadow + write_, length);
            if (otherWrite_ != otherRead_) {
                std::memmove(work_.others + otherWrite_, work_.others + otherRead_,
                             others * sizeof(char16_t));
            }
            otherWrite_ += others;
            otherRead_ += others;
        }
        write_ += length;
        read_ = end;
    }
    // Drops the old text up to `end` and writes the ASCII `text` in its place.
    void ReplaceTo(std::size_t end, std::string_view text) {
        const std::size_t dropped = CountOthers(work_.shadow + read_, end - read_);
        if (inStep_ && dropped != 0) {
            // The non-ASCII units in what has been written so far are the old ones, in place.
            otherRead_ = otherWrite_ = CountOthers(work_.shadow, write_);
            inStep_ = false;
        }
        otherRead_ += dropped;
        std::memcpy(work_.shadow + write_, text.data(), text.size());
        write_ += text.size();
        read_ = end;
    }
    void Finish() {
        KeepTo(work_.size);
        work_.size = write_;
        if (!inStep_) work_.otherCount = otherWrite_;
    }

private:
    Work& work_;
    std::size_t read_ = 0;
    std::size_t write_ = 0;
    bool inStep_ = true;  // no non-ASCII unit dropped yet: the counts below are not kept
    std::size_t otherRead_ = 0;
    std::size_t otherWrite_ = 0;
};

// Replaces every match of `rule` in `work`, leftmost first and without overlap, in place.
void ApplyRule(Work& work, const Rule& rule) {
    char* const data = work.shadow;
    const std::size_t size = work.size;
    const std::string_view view(data, size);
    const re2::StringPiece piece(data, size);

    Rewriter rewriter(work);
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
        rewriter.KeepTo(lt);
        rewriter.ReplaceTo(lt + lngMatch, rule.replacement);
        lngSearch = lt + lngMatch;
    }
    rewriter.Finish();
}

// Copies `size` units from `text` into `work`, making their shadow and dropping every CR and LF:
// the CR LF pairs, then the lone LFs, then the lone CRs, which together is every CR and LF.
void CopyWithoutLineBreaks(const char16_t* text, std::size_t size, Work& work) {
    std::size_t lngWrite = 0;
    std::size_t lngOthers = 0;
    std::size_t i = 0;
    while (i < size) {
#if defined(__SSE2__)
        if (size - i >= 8) {
            // Eight ASCII units at a time while none is a line break. A unit is ASCII when
            // subtracting 0x7F with saturation (no unsigned compare before SSE4.1) leaves zero;
            // packing with saturation then keeps ASCII units as they are.
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            const __m128i zero = _mm_setzero_si128();
            const __m128i isAscii =
                _mm_cmpeq_epi16(_mm_subs_epu16(units, _mm_set1_epi16(0x7F)), zero);
            const __m128i isBreak = _mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16(u'\r')),
                                                 _mm_cmpeq_epi16(units, _mm_set1_epi16(u'\n')));
            if (_mm_movemask_epi8(_mm_andnot_si128(isBreak, isAscii)) == 0xFFFF) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(work.shadow + lngWrite),
                                 _mm_packus_epi16(units, zero));
                lngWrite += 8;
                i += 8;
                continue;
            }
            // And eight at a time through a run of kana and kanji: none ASCII, none a surrogate.
            // Adding 0x2800 wraps the surrogates D800-DFFF round to 0000-07FF, which the
            // saturating subtraction of 0x7FF then leaves at zero.
            const __m128i pastSurrogates = _mm_sub_epi16(units, _mm_set1_epi16(-0x2800));
            const __m128i isSurrogate =
                _mm_cmpeq_epi16(_mm_subs_epu16(pastSurrogates, _mm_set1_epi16(0x7FF)), zero);
            if (_mm_movemask_epi8(_mm_or_si128(isAscii, isSurrogate)) == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(work.others + lngOthers), units);
                std::memset(work.shadow + lngWrite, kOther, 8);
                lngOthers += 8;
                lngWrite += 8;
                i += 8;
                continue;
            }
            // Where the two mix, as where text meets markup: the shadow eight at a time, and the
            // non-ASCII units kept apart one by one.
            if (_mm_movemask_epi8(_mm_or_si128(isBreak, isSurrogate)) == 0) {
                const __m128i shadow = _mm_or_si128(
                    _mm_and_si128(isAscii, units),
                    _mm_andnot_si128(isAscii, _mm_set1_epi16(static_cast<unsigned char>(kOther))));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(work.shadow + lngWrite),
                                 _mm_packus_epi16(shadow, zero));
                // Two bits for each unit; the lower of each pair stands for it.
                unsigned mask = static_cast<unsigned>(~_mm_movemask_epi8(isAscii)) & 0x5555u;
                while (mask != 0) {
                    work.others[lngOthers++] = text[i + (__builtin_ctz(mask) >> 1)];
                    mask &= mask - 1;
                }
                lngWrite += 8;
                i += 8;
                continue;
            }
        }
#endif
        char16_t unit = text[i++];
        if (unit == u'\r' || unit == u'\n') continue;
        if (unit < 0x80) {
            work.shadow[lngWrite++] = static_cast<char>(unit);
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (unit <= 0xDBFF && i < size && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
                work.others[lngOthers++] = unit;
                work.shadow[lngWrite++] = kOther;
                unit = text[i++];
            } else {
                unit = u'\uFFFD';
            }
        }
        work.others[lngOthers++] = unit;
        work.shadow[lngWrite++] = kOther;
    }
    work.size = lngWrite;
    work.otherCount = lngOthers;
}

// The number of units of `text` that are not ASCII: what CopyWithoutLineBreaks keeps apart.
std::size_t CountNonAscii(const char16_t* text, std::size_t size) {
    std::size_t lngCount = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Each 16-bit lane of `counts` counts the non-ASCII units in its lane (ASCII as in
    // CopyWithoutLineBreaks; a unit that is not compares as all ones, minus one), and holds at most
    // 65535, so the lanes are summed every 65535 blocks.
    const __m128i zero = _mm_setzero_si128();
    while (size - i >= 8) {
        __m128i counts = zero;
        for (int k = 0; k < 65535 && size - i >= 8; ++k, i += 8) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            const __m128i isAscii =
                _mm_cmpeq_epi16(_mm_subs_epu16(units, _mm_set1_epi16(0x7F)), zero);
            counts = _mm_sub_epi16(counts, _mm_andnot_si128(isAscii, _mm_set1_epi16(-1)));
        }
        alignas(16) std::uint16_t lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
        for (std::uint16_t lane : lanes) lngCount += lane;
    }
#endif
    for (; i < size; ++i) lngCount += text[i] >= 0x80 ? 1 : 0;
    return lngCount;
}

// The text the shadow and the non-ASCII units stand for.
QString Assemble(const Work& work) {
    QString strText(static_cast<qsizetype>(work.size), Qt::Uninitialized);
    char16_t* const pchOut = reinterpret_cast<char16_t*>(strText.data());
    AdviseLargePages(pchOut, work.size * sizeof(char16_t));
    PrefaultPages(pchOut, work.size * sizeof(char16_t));
    const char16_t* pchOther = work.others;
    std::size_t i = 0;
    while (i < work.size) {
#if defined(__SSE2__)
        if (work.size - i >= 16) {
            // Sixteen ASCII bytes at a time, widened to UTF-16.
            const __m128i bytes =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(work.shadow + i));
            const int mask = _mm_movemask_epi8(bytes);
            if (mask == 0) {
                const __m128i zero = _mm_setzero_si128();
                _mm_storeu_si128(reinterpret_cast<__m128i*>(pchOut + i),
                                 _mm_unpacklo_epi8(bytes, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(pchOut + i + 8),
                                 _mm_unpackhi_epi8(bytes, zero));
                i += 16;
                continue;
            }
            // kOther is the one shadow byte above ASCII: sixteen of them are sixteen units.
            if (mask == 0xFFFF) {
                std::memcpy(pchOut + i, pchOther, 16 * sizeof(char16_t));
                pchOther += 16;
                i += 16;
                continue;
            }
            // Where the two mix: all sixteen widened, then the non-ASCII ones put in place.
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pchOut + i),
                             _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pchOut + i + 8),
                             _mm_unpackhi_epi8(bytes, zero));
            for (unsigned bits = static_cast<unsigned>(mask); bits != 0; bits &= bits - 1) {
                pchOut[i + __builtin_ctz(bits)] = *pchOther++;
            }
            i += 16;
            continue;
        }
#endif
        const char c = work.shadow[i];
        pchOut[i++] =
            c == kOther ? *pchOther++ : static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return strText;
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
    Rewriter rewriter(work);
    std::size_t lngSearch = 0;
    while (lngSearch < size) {
        const void* found = std::memchr(data + lngSearch, '&', size - lngSearch);
        if (found == nullptr) break;
        const std::size_t amp = static_cast<const char*>(found) - data;
        lngSearch = amp + 1;
        const std::string_view rest = view.substr(amp + 1);
        for (const Entity& entity : kEntities) {
            if (!rest.starts_with(entity.name)) continue;
            rewriter.KeepTo(amp);
            lngSearch = amp + 1 + entity.name.size();
            rewriter.ReplaceTo(lngSearch, std::string_view(&entity.replacement, 1));
            break;
        }
    }
    rewriter.Finish();
}

// Room for a rewrite: the shadow and the non-ASCII units, for a text of up to `units` units.
struct Scratch {
    std::unique_ptr<char[]> shadow;
    std::unique_ptr<char16_t[]> others;
    std::size_t units = 0;
};

}  // namespace

QString RemoveTags(const QString& text, const TextSizes& udtSizes) {
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

    // The rules rewrite the shadow and the non-ASCII units in place; the text is put together
    // once, at its final length.
    const std::size_t lngLength = static_cast<std::size_t>(text.size());
    // A text of ordinary size works in room kept from the call before: pages already in memory,
    // and likely in the cache, where fresh ones would first have to be faulted in. Only a big
    // text gets room of its own, given back when it is done.
    thread_local Scratch scrKept;
    Scratch scrOwn;
    const bool blnKept = lngLength <= udtSizes.lngKeptRoom;
    Scratch& scr = blnKept ? scrKept : scrOwn;
    if (scr.shadow == nullptr || scr.units < lngLength) {
        // Kept room is taken at its full size once, so that texts of ordinary size all fit it.
        const std::size_t lngRoom = blnKept ? udtSizes.lngKeptRoom : lngLength;
        scr.shadow.reset();
        scr.others.reset();
        scr.units = 0;
        scr.shadow.reset(new char[lngRoom]);
        scr.others.reset(new char16_t[lngRoom]);
        scr.units = lngRoom;
    }
    Work work{scr.shadow.get(), 0, scr.others.get(), 0};
    AdviseLargePages(work.shadow, lngLength);
    PrefaultPages(work.shadow, lngLength);
    const char16_t* const pchText = reinterpret_cast<const char16_t*>(text.constData());
    AdviseLargePages(work.others, lngLength * sizeof(char16_t));
    PrefaultPages(work.others, CountNonAscii(pchText, lngLength) * sizeof(char16_t));
    CopyWithoutLineBreaks(pchText, lngLength, work);
    for (const Rule& rule : rules) ApplyRule(work, rule);
    DecodeEntities(work);
    return Assemble(work);
}
