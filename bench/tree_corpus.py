#!/usr/bin/env python3
"""tree_corpus: writes, deterministically, a text of articles ending with 0x01 made of the
files under ROOT: every regular file one article, in sorted (bytewise) path order, until
the next file would take the text past LIMIT bytes; a 0x01 inside a file becomes 0x02.

  tree_corpus.py OUTPUT ROOT [LIMIT=1000000000]"""
import os
import sys


def main():
    output, root = sys.argv[1], sys.argv[2]
    limit = int(sys.argv[3]) if len(sys.argv) > 3 else 1000000000
    paths = []
    for d, _, names in os.walk(root):
        for name in names:
            p = os.path.join(d, name)
            if os.path.isfile(p) and not os.path.islink(p):
                paths.append(p)
    paths.sort(key=lambda p: p.encode())
    size = 0
    with open(output, "wb") as f:
        for k, p in enumerate(paths):
            with open(p, "rb") as g:
                data = g.read().replace(b"\x01", b"\x02")
            step = len(data) + (1 if k else 0)
            if size + step > limit:
                break
            if k:
                f.write(b"\x01")
            f.write(data)
            size += step


main()
