#!/usr/bin/python3
"""Fails when a folder includes a header of a folder above it.

Each folder may include its own headers and those of the folders it is
allowed to use below; tests/ and bench/ may use everything. Prints each
include that breaks the table, one a line."""
import os
import re
import sys

# Who may use whom (docs/architecture.md).
BELOW = {
    "common": [],
    "policysync/include": [],
    "image": ["common", "policysync/include"],
    "policysync": ["common", "policysync/include", "image"],
    "hostchecks": ["common", "policysync/include"],
    "record": ["common", "policysync/include"],
    "compiler": ["common", "policysync/include", "image", "record"],
    "client": ["common", "policysync/include", "hostchecks"],
    "daemon": ["common", "policysync/include", "image", "hostchecks", "record", "compiler"],
    "tools": ["common", "policysync/include", "image", "hostchecks", "record", "compiler", "client"],
}
GENERATED = {"tavo_parser.hpp": "compiler"}
SOURCES = (".h", ".hpp", ".cpp", ".y", ".l")
INCLUDE = re.compile(r'\s*#\s*include\s*([<"])([^>"]+)[>"]')


def part_of(path):
    """The folder of the table a source belongs to (each command its own)."""
    parts = path.split("/")
    if parts[0] == "policysync" and parts[1:2] == ["include"]:
        return "policysync/include"
    if parts[0] == "tools" and len(parts) > 2:
        return "tools/" + parts[1]
    return parts[0]


def allowed(user, used):
    if user == used:
        return True
    return used in BELOW["tools" if user.startswith("tools/") else user]


def main():
    top = sys.argv[1] if len(sys.argv) > 1 else "."
    owner = dict(GENERATED)
    sources = []
    for folder in BELOW:
        for root, _, files in os.walk(os.path.join(top, folder)):
            for name in files:
                if name.endswith(SOURCES):
                    path = os.path.relpath(os.path.join(root, name), top)
                    sources.append(path)
                    if not name.endswith(".cpp"):
                        owner[name] = part_of(path)
    broken = 0
    for path in sorted(sources):
        user = part_of(path)
        with open(os.path.join(top, path), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                if m.group(1) == "<":
                    used = "policysync/include" if m.group(2).startswith("tavopolicysync/") else None
                else:
                    used = owner.get(os.path.basename(m.group(2)))
                if used and not allowed(user, used):
                    print(f"{path}:{number}: {user} includes {m.group(2)} of {used}")
                    broken += 1
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
