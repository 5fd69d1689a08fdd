#!/usr/bin/env python3
"""fortune_corpus: writes, deterministically, a text of short articles ending with 0x01:
every fortune of the fortune data files under ROOT (default /usr/share/games/fortunes,
Debian's fortunes packages in several languages), each file cut at its lines "%", the
files in sorted (bytewise) path order, the fortunes in file order; the index files
(.dat) and links are left out, and a 0x01 inside a fortune becomes 0x02.

  fortune_corpus.py OUTPUT [ROOT]"""
import os
import sys


def main():
    output = sys.argv[1]
    root = sys.argv[2] if len(sys.argv) > 2 else "/usr/share/games/fortunes"
    paths = []
    for d, _, names in os.walk(root):
        for name in names:
            p = os.path.join(d, name)
            if os.path.isfile(p) and not os.path.islink(p) and not name.endswith(".dat"):
                paths.append(p)
    paths.sort(key=lambda p: p.encode())
    articles = []
    for p in paths:
        with open(p, "rb") as f:
            data = f.read().replace(b"\x01", b"\x02")
        for piece in data.replace(b"\r\n", b"\n").split(b"\n%\n"):
            piece = piece.strip(b"\n")
            if piece and piece != b"%":
                articles.append(piece + b"\n")
    with open(output, "wb") as f:
        f.write(b"\x01".join(articles))


main()
