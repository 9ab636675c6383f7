#!/usr/bin/env python3
"""Makes the benchmarks' nested tree: 10 top folders x 100 subfolders x N
empty files, in one process with one system call per item, so that a tree
of 100,000 files can be made anew before every timed deletion (cp -a, which
copies each item's times, owner and attributes, took several times longer).

usage: nested_tree.py ROOT FILES_PER_FOLDER [ACCENT]
ACCENT (optional) is put in every name: the tree with non-ASCII names.
"""
import os
import sys


def main() -> None:
    root, per = sys.argv[1], int(sys.argv[2])
    accent = sys.argv[3] if len(sys.argv) > 3 else ""
    file_word = "fich" if accent else "file"
    os.mkdir(root)
    for top in range(10):
        top_dir = f"{root}/t{accent}{top}"
        os.mkdir(top_dir)
        for sub in range(100):
            folder = f"{top_dir}/s{accent}{sub:02d}"
            os.mkdir(folder)
            for i in range(1, per + 1):
                name = f"{folder}/{file_word}{accent}{i:04d}.dat"
                os.close(os.open(name, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o644))


if __name__ == "__main__":
    main()
