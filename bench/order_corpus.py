#!/usr/bin/env python3
"""order_corpus: writes, deterministically, a text of articles ending with 0x01 made of
this machine's own documents: manual pages (decompressed), C headers and files of
/usr/share/doc, each of at most 256 KiB once decompressed, every STEP-th file in sorted
(bytewise) path order; a 0x01 inside a file becomes 0x02.

  order_corpus.py OUTPUT [whole|pieces] [STEP=3]

"whole": each file is one article, in path order. "pieces": each file cut at its blank
lines and line ends into pieces of 40 to 300 bytes, in document order."""
import gzip
import os
import sys

ROOTS = ["/usr/share/man", "/usr/include", "/usr/share/doc"]
LIMIT = 256 << 10


def files():
    paths = []
    for root in ROOTS:
        for d, _, names in os.walk(root):
            for name in names:
                p = os.path.join(d, name)
                if os.path.isfile(p) and not os.path.islink(p):
                    paths.append(p)
    return sorted(paths, key=lambda p: p.encode())


def contents(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
        if path.endswith(".gz"):
            data = gzip.decompress(data)
    except (OSError, EOFError, gzip.BadGzipFile):
        return None
    return data if len(data) <= LIMIT else None


def pieces(data):
    out, piece = [], b""
    for para in data.split(b"\n\n"):
        for line in para.split(b"\n"):
            line += b"\n"
            while len(line) > 300:
                if piece:
                    out.append(piece)
                    piece = b""
                out.append(line[:300])
                line = line[300:]
            if len(piece) + len(line) > 300:
                out.append(piece)
                piece = b""
            piece += line
        if len(piece) >= 40:
            out.append(piece)
            piece = b""
    if piece:
        out.append(piece)
    return out


def main():
    output = sys.argv[1]
    mode = sys.argv[2] if len(sys.argv) > 2 else "whole"
    step = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    docs = [d for d in (contents(p) for p in files()) if d is not None]
    articles = []
    for i, d in enumerate(docs):
        if i % step:
            continue
        d = d.replace(b"\x01", b"\x02")
        articles.extend(pieces(d) if mode == "pieces" else [d])
    with open(output, "wb") as f:
        f.write(b"\x01".join(articles))


main()
