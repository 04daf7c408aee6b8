#!/usr/bin/env python3
"""Fails when a folder of zevservice/ includes a header from a folder above it.

The layers, lowest first, are listed in LAYERS; a source file may include
headers of its own folder and of the folders below it. Headers of testing/
may be included by tests (files ending in _test.cc) only, and what such a
header includes counts as included by the test itself.
Usage: check_layers.py [ROOT] | check_layers.py --self-test
"""
import os
import re
import sys

LAYERS = ["platform", "xson", "base", "crypto", "contract", "model", "server", "rpc", "bus",
          "download", "strategy", "hosting", "host"]
RANK = {name: i for i, name in enumerate(LAYERS)}
# Generated message code sits with the catalogue model.
EXTRA = {"common": RANK["base"]}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def rank_of(header):
    top = header.split("/", 1)[0]
    if top in RANK:
        return RANK[top]
    return EXTRA.get(top)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return INCLUDE.findall(f.read())


def check_file(root, path, folder, problems, seen_testing):
    is_test = path.endswith("_test.cc")
    pending = [(path, h) for h in includes(path)]
    while pending:
        origin, header = pending.pop()
        if header.startswith("testing/"):
            if not is_test:
                problems.append(f"{origin}: includes {header}, which only tests may use")
                continue
            if header not in seen_testing:
                seen_testing.add(header)
                target = os.path.join(root, header)
                if os.path.exists(target):
                    pending.extend((target, h) for h in includes(target))
            continue
        rank = rank_of(header)
        if rank is None:
            continue  # a header of the folder itself, or not ours
        if rank > RANK[folder]:
            problems.append(f"{os.path.relpath(origin, root)}: {folder}/ includes {header}, "
                            f"which lies above it")


def find_problems(root):
    base = os.path.join(root, "zevservice")
    problems = []
    for folder in sorted(os.listdir(base)):
        directory = os.path.join(base, folder)
        if not os.path.isdir(directory):
            continue
        if folder not in RANK:
            problems.append(f"zevservice/{folder}/ is not in the layer list")
            continue
        for dirpath, _, files in os.walk(directory):
            for name in sorted(files):
                if name.endswith((".h", ".cc")):
                    check_file(root, os.path.join(dirpath, name), folder, problems, set())
    return problems


def self_test():
    """The check must pass a tree that keeps the order and fail each kind of break."""
    import tempfile

    def tree(files):
        root = tempfile.mkdtemp()
        for path, text in files.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as f:
                f.write(text)
        return root

    good = {"zevservice/base/a.h": '#include "platform/p.h"\n',
            "zevservice/rpc/r_test.cc": '#include "testing/t.h"\n#include "rpc/r.h"\n',
            "testing/t.h": '#include "base/a.h"\n'}
    cases = [
        ({}, 0),
        ({"zevservice/base/b.cc": '#include "host/service.h"\n'}, 1),
        ({"zevservice/base/c.cc": '#include "testing/t.h"\n'}, 1),  # only tests may
        ({"zevservice/platform/p_test.cc": '#include "testing/t.h"\n'}, 1),  # t.h reaches base
        ({"zevservice/newfolder/x.h": "\n"}, 1),
    ]
    for extra, expected in cases:
        files = dict(good)
        files.update(extra)
        found = find_problems(tree(files))
        if len(found) != expected:
            print(f"self-test: {extra} gave {found}, expected {expected} problem(s)")
            return 1
    print("check_layers self-test passed")
    return 0


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--self-test":
        return self_test()
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    problems = find_problems(root)
    for p in problems:
        print(p)
    if problems:
        print(f"check_layers: {len(problems)} include(s) break the layer order")
        return 1
    print("check_layers: every include follows the layer order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
