#!/usr/bin/env python3
"""Fails when a source file includes a header it may not use.

The folders of zevservice/ are layers, listed lowest first in LAYERS; a file
of a layer may include headers of its own folder and of the folders below it
(contract/ only those of ONLY["contract"]). The programs (tools/NAME/,
bench/, fuzz/) stand above every layer: a tool includes the layers and its
own folder, never another tool's; bench/ and fuzz/ include the layers, the
tools and their own folder. Headers of testing/ may be included by tests
(files ending in _test.cc, and their helpers test_*.h and *_test_util.h) and
by benchmarks only; a test of a layer may include the test helpers of
tools/ too. What such a header includes counts as included by the test
itself.
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
# Layers that may use only some of the folders below them.
ONLY = {"contract": {"platform", "base", "crypto", "common"}}
PROGRAMS = ("tools", "bench", "fuzz")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def rank_of(header):
    top = header.split("/", 1)[0]
    if top in RANK:
        return RANK[top]
    return EXTRA.get(top)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return INCLUDE.findall(f.read())


def is_test(path):
    name = os.path.basename(path)
    return (name.endswith("_test.cc") or name.endswith("_test_util.h") or
            (name.startswith("test_") and name.endswith(".h")))


def refusal(unit, header, test):
    """Why `unit` ("layer"/"tool"/"bench"/"fuzz", name) may not include `header`; None if it may."""
    kind, name = unit
    parts = header.split("/")
    top = parts[0]
    if top == "testing":
        return None if test or kind == "bench" else "which only tests may use"
    if top == "tools":
        tool = parts[1] if len(parts) > 2 else ""
        if kind == "layer":
            return None if test else "a program's header, which only tests may use"
        if kind == "tool" and tool != name:
            return "the header of another program"
        return None
    if top in ("bench", "fuzz"):
        return None if kind == top else "a header of " + top + "/"
    rank = rank_of(header)
    if rank is None or kind != "layer":
        return None  # a header of the folder itself or not ours, or a program's include of a layer
    if name in ONLY and top != name and top not in ONLY[name]:
        return "which " + name + "/ may not use"
    if rank > RANK[name]:
        return "which lies above it"
    return None


def check_file(root, path, unit, problems, seen):
    test = is_test(path)
    pending = [(path, h) for h in includes(path)]
    while pending:
        origin, header = pending.pop()
        why = refusal(unit, header, test)
        where = os.path.relpath(origin, root)
        if why is not None:
            label = unit[1] + "/" if unit[0] == "layer" else unit[0] + ("/" + unit[1] if unit[1] else "") + "/"
            problems.append(f"{where}: {label} includes {header}, {why}")
            continue
        # Test helpers count as part of the test that includes them.
        follow = header.startswith("testing/") or (unit[0] == "layer" and header.startswith("tools/"))
        if follow and header not in seen:
            seen.add(header)
            target = os.path.join(root, header)
            if os.path.exists(target):
                pending.extend((target, h) for h in includes(target))


def sources(directory):
    for dirpath, _, files in os.walk(directory):
        for name in sorted(files):
            if name.endswith((".h", ".cc")):
                yield os.path.join(dirpath, name)


def find_problems(root):
    problems = []
    base = os.path.join(root, "zevservice")
    units = []
    for folder in sorted(os.listdir(base)):
        directory = os.path.join(base, folder)
        if not os.path.isdir(directory):
            continue
        if folder not in RANK:
            problems.append(f"zevservice/{folder}/ is not in the layer list")
            continue
        units.append((("layer", folder), directory))
    tools = os.path.join(root, "tools")
    if os.path.isdir(tools):
        for name in sorted(os.listdir(tools)):
            if os.path.isdir(os.path.join(tools, name)):
                units.append((("tool", name), os.path.join(tools, name)))
    for program in ("bench", "fuzz"):
        if os.path.isdir(os.path.join(root, program)):
            units.append(((program, ""), os.path.join(root, program)))
    for unit, directory in units:
        for path in sources(directory):
            check_file(root, path, unit, problems, set())
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
            "zevservice/contract/c.cc": '#include "crypto/k.h"\n#include "common/m.pb.h"\n',
            "zevservice/download/d_test.cc": '#include "tools/dl/server.h"\n',
            "tools/dl/main.cc": '#include "contract/c.h"\n#include "tools/dl/server.h"\n',
            "tools/dl/server.h": '#include "platform/p.h"\n',
            "tools/dl/dl_test.cc": '#include "testing/t.h"\n',
            "bench/b.cc": '#include "testing/t.h"\n#include "tools/dl/server.h"\n#include "bench/u.h"\n',
            "fuzz/f.cc": '#include "tools/dl/server.h"\n#include "host/h.h"\n',
            "testing/t.h": '#include "base/a.h"\n'}
    cases = [
        ({}, 0),
        ({"zevservice/base/b.cc": '#include "host/service.h"\n'}, 1),
        ({"zevservice/base/c.cc": '#include "testing/t.h"\n'}, 1),  # only tests may
        ({"zevservice/platform/p_test.cc": '#include "testing/t.h"\n'}, 1),  # t.h reaches base
        ({"zevservice/newfolder/x.h": "\n"}, 1),
        ({"zevservice/contract/d.cc": '#include "xson/x.h"\n'}, 1),  # below it, yet not for contract/
        ({"zevservice/contract/e.cc": '#include "model/m.h"\n'}, 1),
        ({"zevservice/download/d.cc": '#include "tools/dl/exit_codes.h"\n'}, 1),  # product code
        ({"zevservice/base/b_test.cc": '#include "tools/dl/deep.h"\n',
          "tools/dl/deep.h": '#include "host/h.h"\n'}, 1),  # deep.h reaches above base
        ({"tools/other/o.cc": '#include "tools/dl/server.h"\n'}, 1),
        ({"tools/other/o.cc": '#include "testing/t.h"\n'}, 1),
        ({"tools/other/test_helper.h": '#include "testing/t.h"\n'}, 0),
        ({"fuzz/g.cc": '#include "bench/u.h"\n'}, 1),
        ({"zevservice/host/h.cc": '#include "bench/u.h"\n'}, 1),
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
