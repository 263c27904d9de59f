#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: small pages in every encoding the program meets.

    make_seeds.py OUTDIR    writes OUTDIR/<fuzzer>/<seed> for every fuzzer named below

The seeds are made here rather than kept in the repository so they stay small and readable, and so
a change to a fuzzer's input layout changes its seeds in the same commit.
"""
import os
import sys

# A page with everything the conversion and the tag removal care about: the five entities and
# others, every spelling of a line-break tag, scripts, styles and comments across lines, half-width
# katakana, the NEC and IBM characters only code page 932 has, and all three kinds of line break.
PAGE = (
    '<!DOCTYPE html>\r\n<html><head><meta charset="{charset}">\r\n'
    "<title>日本語のページ</title>\r\n"
    '<style type="text/css">\nbody {{ font-family: "ＭＳ Ｐゴシック"; }}\n</style>\n'
    "<SCRIPT>\nvar s = '<b>' + '</scr' + 'ipt>';\n</script ></head>\r\n"
    "<body><!-- コメント\n--><p>こんにちは、世界。ｶﾀｶﾅ ①Ⅲ㈱髙﨑</p><BR>\r<br />< br >\n"
    "&quot;引用&quot; &amp;lt; &lt;b&gt; &nbsp; &#12354; &copy; 〜－∥￢\n"
    '<a href="x?a=1&amp;b=2">リンク</a> 1 < 2 > 0 <img alt="<br>">\n</body></html>\n'
)

ENCODINGS = {
    "cp932": "Shift_JIS",
    "shift_jis": "Shift_JIS",
    "euc_jp": "EUC-JP",
    "iso2022_jp": "ISO-2022-JP",
    "utf-8": "UTF-8",
    "utf-8-sig": "UTF-8",
    "utf-16": "UTF-16",
    "utf-16-be": "UTF-16BE",
    "utf-16-le": "UTF-16LE",
}

# Short texts at the edges: line breaks of every kind, the marker the conversion uses, empty tags.
SNIPPETS = [
    "a\nb",
    "a\rb",
    "a\r\nb",
    "a\n\rb",
    "a\r\r\nb",
    "\x01x\x01",
    "<",
    "<>",
    "<br",
    "&quot;",
    "&amp;lt;",
    "<<br>>",
    "<!---->",
    "<script></script>",
    "<style>x</style >",
]


# The Japanese texts the converter's tests are made from; a piece of each becomes a page.
TEXTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support", "corpus",
                     "texts")
TEXT_CHARACTERS = 300


def test_pages():
    """Pieces of the test texts as small pages, text by text."""
    pages = {}
    if os.path.isdir(TEXTS):
        for name in sorted(os.listdir(TEXTS)):
            if name.endswith(".txt"):
                with open(os.path.join(TEXTS, name), encoding="utf-8") as f:
                    piece = f.read(TEXT_CHARACTERS)
                body = piece.replace("\n\n", "\n<br>\n")
                pages[name[: -len(".txt")]] = f"<html><body><p>{body}</p></body></html>\n"
    return pages


def page(codec):
    text = PAGE.format(charset=ENCODINGS[codec])
    return text.encode(codec, errors="xmlcharrefreplace")


def bodies():
    """Page bodies as a server might send them, whole and broken."""
    seeds = {f"page-{codec}": page(codec) for codec in ENCODINGS}
    for name, text in test_pages().items():
        for codec in ENCODINGS:
            seeds[f"text-{name}-{codec}"] = text.encode(codec, errors="xmlcharrefreplace")
    sjis = page("cp932")
    seeds["cut-mid-character-cp932"] = sjis[: sjis.index("日".encode("cp932")) + 1]
    jis = "漢字".encode("iso2022_jp")
    seeds["escape-not-closed-iso2022jp"] = b"abc" + jis[: -3]
    seeds["zero-inside-cp932"] = sjis[:40] + b"\0" + sjis[40:80]
    seeds["half-width-kana-euc"] = "ｱｲｳ".encode("euc_jp")
    seeds["jisx0212-euc"] = b"\x8f\xb0\xa1\xa4\xa2"
    for i, s in enumerate(SNIPPETS):
        seeds[f"snippet-{i:02}"] = s.encode("utf-8")
    return seeds


def texts():
    """Input of the tag removal fuzzer: a first byte picking UTF-8 (odd) or UTF-16 (even)."""
    seeds = {}
    for name, utf8 in [("page", PAGE.format(charset="UTF-8"))] + [
        (f"snippet-{i:02}", s) for i, s in enumerate(SNIPPETS)
    ]:
        seeds[f"utf8-{name}"] = b"\x01" + utf8.encode("utf-8")
        seeds[f"utf16-{name}"] = b"\x00" + utf8.encode("utf-16-le")
    for name, text in test_pages().items():
        seeds[f"utf8-text-{name}"] = b"\x01" + text.encode("utf-8")
    seeds["utf16-lone-surrogate"] = b"\x00" + "<br>".encode("utf-16-le") + b"\x00\xd8<\x00"
    return seeds


def encoded_texts():
    """Input of the differential fuzzer: a byte picking the encoding (0 Shift_JIS, 1 EUC-JP,
    2 ISO-2022-JP, 3 UTF-8), a byte giving the cut-short output's share, then the text."""
    seeds = {}
    for pick, codec in enumerate(["cp932", "euc_jp", "iso2022_jp", "utf-8"]):
        seeds[f"page-{codec}"] = bytes([pick, 0x80]) + page(codec)
        for name, text in test_pages().items():
            seeds[f"text-{name}-{codec}"] = bytes([pick, 0xF0]) + text.encode(
                codec, errors="xmlcharrefreplace")
    seeds["bad-bytes-euc"] = b"\x01\xff" + b"\x8f\xa1A\x8e\xe0\xa0\xa1\x80\x8f\xa1"
    seeds["bad-bytes-utf8"] = b"\x03\xff" + b"\xe3\x81A\xf4\x90\x80\x80\xed\xa0\x80\xe0\x80"
    seeds["bad-bytes-cp932"] = b"\x00\xff" + b"\x85\x40\x81\x7f\xa0\xfd\x82"
    seeds["iso2022jp-x0213-rows"] = b"\x02\xff" + b"\x1b$(Qy!|~\x1b$Bz!\x1b(I`a\x1b(B"
    return seeds


def cp932_bytes():
    """Input of the code page decoding fuzzer: code page 932 bytes, good and bad."""
    seeds = {name: data for name, data in bodies().items() if "cp932" in name or "snippet" in name}
    seeds["single-byte-gaps"] = bytes([0x80, 0xA0, 0xFD, 0xFE, 0xFF, 0x41])
    seeds["lead-then-bad-trail"] = b"\x81\x7f\x81\x20\xfc\xfc\xea\xa5"
    seeds["lead-at-end"] = "表".encode("cp932") + b"\x95"
    return seeds


def utf16_units():
    """Input of the code page encoding fuzzer: UTF-16 code units, little-endian."""
    seeds = {
        "page": PAGE.format(charset="UTF-16").encode("utf-16-le"),
        "lacking": "€ß😀Ω\u00a5\u203e\uff5e".encode("utf-16-le", errors="surrogatepass"),
        "lone-surrogates": b"A\x00\x00\xd8B\x00\x00\xdc\x00\xd8",
    }
    for name, text in test_pages().items():
        seeds[f"text-{name}"] = text.encode("utf-16-le")
    for i, s in enumerate(SNIPPETS):
        seeds[f"snippet-{i:02}"] = s.encode("utf-16-le")
    return seeds


FUZZERS = {
    "remove_tags_fuzzer": texts,
    "remove_tags_differential_fuzzer": texts,
    "convert_body_fuzzer": bodies,
    "nkf_convert_fuzzer": bodies,
    "nkf_differential_fuzzer": encoded_texts,
    "codepage_decode_fuzzer": cp932_bytes,
    "codepage_encode_fuzzer": utf16_units,
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUTDIR")
    for fuzzer, make in FUZZERS.items():
        folder = os.path.join(sys.argv[1], fuzzer)
        os.makedirs(folder, exist_ok=True)
        for old in os.listdir(folder):
            os.remove(os.path.join(folder, old))
        for name, data in make().items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
