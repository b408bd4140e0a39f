#!/usr/bin/env python3
"""Prints the texts of a PostScript file as Wine's printer driver writes
them, one line per drawn text: each begins with a `moveto` and shows its
characters one glyph at a time by name ("/T glyphshow", "/space glyphshow")."""
import sys

NAMES = {"space": " ", "period": ".", "comma": ",", "colon": ":", "semicolon": ";", "hyphen": "-",
         "exclam": "!", "question": "?", "quoteright": "'", "quotesingle": "'", "parenleft": "(",
         "parenright": ")", "slash": "/", "quotedbl": '"'}
NAMES.update({n: str(d) for d, n in enumerate(
    ["zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine"])})

runs = []
with open(sys.argv[1], encoding="latin-1") as f:
    for line in f:
        line = line.rstrip("\r\n")
        if line.endswith(" moveto"):
            runs.append("")
        elif runs and line.startswith("/") and line.endswith(" glyphshow"):
            name = line[1:-len(" glyphshow")]
            runs[-1] += name if len(name) == 1 else NAMES.get(name, "?")
for r in runs:
    print(r)
