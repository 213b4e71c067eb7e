#!/usr/bin/env python3
"""Every layer of src/CMakeLists.txt names in its USES each layer whose headers its own files
include directly (a layer that reaches another only through a third one would break when the
third one stops using it), and nothing includes a layer above it: each layer's include root
already refuses what it does not link, so this checks the declarations, not the build."""
import os
import re
import sys

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")


def layers(cmake_text):
    """name -> (folders, uses) for every quelma_layer(...) call."""
    found = {}
    for call in re.finditer(r"quelma_layer\((.*?)\)\s*$", cmake_text, re.S | re.M):
        words = call.group(1).split()
        name, section, folders, uses = words[0], None, [], []
        for w in words[1:]:
            if w in ("FOLDERS", "USES", "SOURCES"):
                section = w
            elif section == "FOLDERS":
                folders.append(w)
            elif section == "USES":
                uses.append(w)
        found[name] = (folders, uses)
    return found


def main():
    text = open(os.path.join(SRC, "CMakeLists.txt")).read()
    table = layers(re.sub(r"#.*", "", text))
    owner = {}  # folder -> layer
    for name, (folders, _) in table.items():
        for f in folders:
            owner[f] = name
    failures = []
    for name, (folders, uses) in table.items():
        for folder in folders:
            root = os.path.join(SRC, folder)
            for entry in sorted(os.listdir(root)):
                path = os.path.join(root, entry)
                if not os.path.isfile(path) or not entry.endswith((".h", ".cpp")):
                    continue
                for include in re.findall(r'^\s*#\s*include\s+"([^"]+)"', open(path, encoding="utf-8").read(), re.M):
                    parts = include.split("/")
                    target = owner.get("/".join(parts[:2])) or owner.get(parts[0])
                    if target and target != name and target not in uses:
                        failures.append(f"{folder}/{entry}: includes {include} but {name} does not name {target} in USES")
    for f in failures:
        print(f)
    print(f"{len(table)} layers checked, {len(failures)} undeclared uses")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
