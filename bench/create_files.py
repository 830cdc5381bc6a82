#!/usr/bin/env python3
"""The short script a user would write instead of Pellatrix: the benchmark's second baseline.
Usage: create_files.py TEXT LISTFILE..."""
import os
import sys

text = sys.argv[1].encode()
for list_file in sys.argv[2:]:
    with open(list_file, "rb") as f:
        for line in f.read().splitlines():
            if not line.strip(b" "):
                continue
            path, sep, content = line.partition(b">")
            folder = os.path.dirname(path)
            if folder:
                os.makedirs(folder, exist_ok=True)
            with open(path, "wb") as out:
                out.write(content if sep else text)
