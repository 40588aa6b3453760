"""Keeps the README's benchmark table the same as the last full report."""

import sys

BEGIN = "<!-- bench/run writes the table below -->"
END = "<!-- end of the table bench/run writes -->"


def update(path, table):
    with open(path, encoding="utf-8") as readme:
        text = readme.read()
    start = text.find(BEGIN)
    end = text.find(END)
    if start < 0 or end < start:
        print(f"{path} has no benchmark table to update", file=sys.stderr)
        return
    text = text[:start + len(BEGIN)] + "\n" + table + text[end:]
    with open(path, "w", encoding="utf-8") as readme:
        readme.write(text)
