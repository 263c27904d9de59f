#!/usr/bin/env python3
"""Makes the Japanese test pages, snippets and benchmark pages from the texts in texts/.

Every text is encoded with Python's codecs into each encoding the converter reads, as whole HTML
pages (with and without a meta charset declaration) and as short snippets of 30 to 600 bytes cut
from the texts at random. The expected result is the text itself: every character in the texts
exists in Shift_JIS, so conversion must give it back unchanged.

  make_corpus.py --texts DIR --out DIR            pages/ and snippets.* for the tests
  make_corpus.py --texts DIR --out DIR --bench MB one page of about MB megabytes per encoding
"""
import argparse
import html
import pathlib
import random
import struct

ENCODINGS = {
    # file suffix: (Python codec, byte-order mark, meta charset label)
    "cp932": ("cp932", b"", "Shift_JIS"),
    "euc-jp": ("euc_jp", b"", "EUC-JP"),
    "iso-2022-jp": ("iso2022_jp_ext", b"", "ISO-2022-JP"),
    "utf-8": ("utf-8", b"", "UTF-8"),
    "utf-8-bom": ("utf-8", b"\xef\xbb\xbf", "UTF-8"),
    "utf-16le": ("utf-16-le", b"\xff\xfe", "UTF-16"),
    "utf-16be": ("utf-16-be", b"\xfe\xff", "UTF-16"),
}
SNIPPETS_PER_ENCODING = 100


def encode(text, suffix):
    codec, bom, _ = ENCODINGS[suffix]
    return bom + text.encode(codec)


def read_texts(folder):
    texts = {}
    for path in sorted(pathlib.Path(folder).glob("*.txt")):
        text = path.read_text(encoding="utf-8")
        for suffix in ENCODINGS:
            codec = ENCODINGS[suffix][0]
            if text.encode(codec).decode(codec) != text:
                raise SystemExit(f"{path.name} does not survive {codec}")
        if text.encode("cp932").decode("cp932") != text:
            raise SystemExit(f"{path.name} has characters Shift_JIS lacks")
        texts[path.stem] = text
    return texts


def make_page(text, label):
    lines = text.strip("\n").split("\n")
    head = f'<meta charset="{label}">\n' if label else ""
    body = "\n".join(f"<p>{html.escape(line, quote=False)}</p>" for line in lines[1:] if line)
    return (f"<!DOCTYPE html>\n<html lang=\"ja\">\n<head>\n{head}<title>"
            f"{html.escape(lines[0], quote=False)}</title>\n</head>\n<body>\n"
            f"<h1>{html.escape(lines[0], quote=False)}</h1>\n{body}\n</body>\n</html>\n")


def write_pages(texts, out):
    pages = out / "pages"
    pages.mkdir(parents=True, exist_ok=True)
    everything = "\n".join(texts.values())
    sources = dict(texts)
    sources["all"] = everything * 4
    for name, text in sources.items():
        for suffix, (_, _, label) in ENCODINGS.items():
            for declared in (True, False):
                page = make_page(text, label if declared else None)
                stem = f"{name}{'-meta' if declared else ''}"
                (pages / f"{stem}.{suffix}").write_bytes(encode(page, suffix))
                (pages / f"{stem}.{suffix}.expected").write_bytes(page.encode("utf-8"))


def write_snippets(texts, out):
    rng = random.Random(932)
    names = sorted(texts)
    for suffix in ENCODINGS:
        records = bytearray()
        made = 0
        while made < SNIPPETS_PER_ENCODING:
            text = texts[rng.choice(names)]
            target = rng.randint(30, 600)
            start = rng.randrange(len(text))
            end = start
            while end < len(text) and len(encode(text[start:end + 1], suffix)) <= target:
                end += 1
            snippet = text[start:end]
            data = encode(snippet, suffix)
            if len(data) < 30 or snippet.isascii():
                continue
            expected = snippet.encode("utf-8")
            records += struct.pack("<I", len(data)) + data
            records += struct.pack("<I", len(expected)) + expected
            made += 1
        (out / f"snippets.{suffix}").write_bytes(bytes(records))


def write_bench(texts, out, megabytes):
    pages = [make_page(text, None) for text in texts.values()]
    for suffix in ("cp932", "euc-jp", "iso-2022-jp", "utf-8"):
        chunk = encode("".join(pages), suffix)
        repeat = megabytes * 1000 * 1000 // len(chunk) + 1
        (out / f"bench.{suffix}").write_bytes(chunk * repeat)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--texts", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--bench", type=int, default=0)
    args = parser.parse_args()
    texts = read_texts(args.texts)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    if args.bench:
        write_bench(texts, out, args.bench)
    else:
        write_pages(texts, out)
        write_snippets(texts, out)
    (out / "stamp").write_text("made\n")


if __name__ == "__main__":
    main()
