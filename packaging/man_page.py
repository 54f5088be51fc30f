#!/usr/bin/env python3
"""Writes a gzipped man page: from a program's --help and --version through help2man, or from a
page written by hand. The bytes depend only on the input (no name or time stamp in the gzip
header; help2man dates the page from SOURCE_DATE_EPOCH), so the packages of every architecture
carry the same file.

  man_page.py OUT.1.gz --program PROGRAM --name 'WHAT IT DOES' [--include FILE.h2m]
  man_page.py OUT.7.gz --page FILE.7
"""
import argparse
import gzip
import re
import subprocess
import sys


def option_lists_as_items(page):
    """help2man leaves a list inside an option's help ("empty: no calls", "mixed: ...", one per
    line) as one run-on paragraph; each entry becomes an item of its own, its name in bold."""
    def items(match):
        lines = []
        for entry in match.group(1).rstrip("\n").split("\n"):
            name, _, text = entry.partition(": ")
            lines += [".TP", ".B " + name, text]
        return "\n".join([".RS"] + lines + [".RE"]) + "\n"
    return re.sub(r"\.TP\n((?:[a-z\\-]+: [^\n]*\n){2,})", items, page)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output")
    parser.add_argument("--program")
    parser.add_argument("--name")
    parser.add_argument("--include")
    parser.add_argument("--page")
    arguments = parser.parse_args()
    if arguments.page:
        with open(arguments.page, encoding="utf-8") as page_file:
            page = page_file.read()
    else:
        command = ["help2man", "--no-info", "--name", arguments.name]
        if arguments.include:
            command += ["--include", arguments.include]
        result = subprocess.run(command + [arguments.program], capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit(f"help2man {arguments.program} failed: {result.stderr}")
        page = option_lists_as_items(result.stdout)
    with open(arguments.output, "wb") as out:
        with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=out, mtime=0) as zipped:
            zipped.write(page.encode("utf-8"))


if __name__ == "__main__":
    main()
