#!/usr/bin/env python3
"""Writes cmake/hot-functions.txt: the sections of the functions our client runs in a sync.

The kernel maps a program's code in blocks of 64 KB around each page it first runs, so a few hot
functions scattered over the whole text keep nearly all of it resident. The Release link puts the
sections named in cmake/hot-functions.txt side by side (gold's --section-ordering-file), so the code
a sync runs lies in a few blocks. This script runs the syncs of bench/sync_comparison.py's minimal
records over the folder stores (first sync, no change, 1 % changed) under valgrind's callgrind, and
writes the section of every function of hm_sync_once that ran: first those the no-change sync runs,
then those the 1 % changed sync adds, then the first sync's others, each group sorted by name. A
sync's code then fills the fewest blocks: a no-change sync's lies in the first ones, a small change's
right after them, and the code only a first sync runs maps no block the others need. A function missing
from the list (added or renamed since) is only placed with the others: run the script again when
the list falls behind (bench/sync_comparison.py's peak grows).

Needs valgrind and a Release build (targets hm_sync_once, phone_peer).
Usage: bench/hot_functions.py [--build build-release] [--records 1000]
"""

import argparse
import glob
import os
import re
import stat
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sync_comparison as comparison  # noqa: E402

OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake", "hot-functions.txt")


def wrapped_client(folder, client):
    """A script that runs the client under callgrind, one output file per run."""
    path = os.path.join(folder, "callgrind-client")
    with open(path, "w") as script:
        script.write('#!/bin/sh\nexec valgrind -q --tool=callgrind --demangle=no '
                     '--callgrind-out-file=%s/callgrind.%%p "%s" "$@"\n' % (folder, client))
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return path


def functions_run(path, client):
    """The (mangled) names of the client's own functions that ran, from one callgrind output."""
    objects, names, ran, current = {}, {}, set(), None
    with open(path, errors="replace") as lines:
        for line in lines:
            named = re.match(r"^(c?ob|c?fn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
            if not named:
                continue
            kind, number, name = named.groups()
            table = objects if kind.endswith("ob") else names
            if name:
                table[number] = name
            if kind == "ob":
                current = objects.get(number)
            elif kind == "fn" and current and os.path.realpath(current) == client:
                ran.add(names[number])
    return ran


def sections_of(name):
    """The sections GCC's -ffunction-sections may give the function: its own, or the start-up one for
    code run once (static initialisers); complete-object constructors and destructors share their
    base-object twins' code and section. Cold parts stay apart."""
    if name.endswith(".cold") or name.startswith("0x") or name.startswith("("):
        return []
    variants = {name, name.replace("C1E", "C2E").replace("C1I", "C2I").replace("D1E", "D2E")}
    return [prefix + variant for variant in sorted(variants) for prefix in (".text.", ".text.startup.")]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-release")
    parser.add_argument("--records", type=int, default=1000)
    arguments = parser.parse_args()
    comparison.SETTLE_SECONDS = 1
    with tempfile.TemporaryDirectory(prefix="hm-hot-functions-") as folder:
        side = comparison.OurSide(arguments.build, folder, arguments.records, "folders")
        client = os.path.realpath(side.client)
        side.client = wrapped_client(folder, client)
        comparison.measured_syncs(side, False)
        # Each sync writes its output as it ends: first sync, no-change sync, 1 % changed.
        paths = sorted(glob.glob(os.path.join(folder, "callgrind.*")), key=os.path.getmtime)
        if len(paths) != 3:
            sys.exit("expected the outputs of three syncs, found %d" % len(paths))
        first, unchanged, changed = (functions_run(path, client) for path in paths)
    sections, ran = [], set()
    for group in (unchanged, changed, first):
        named = {section for name in group - ran for section in sections_of(name)}
        sections += sorted(named - set(sections))
        ran |= group
    with open(OUTPUT, "w") as output:
        output.write("".join(section + "\n" for section in sections))
    print("%d functions, %d sections: %s" % (len(ran), len(sections), os.path.normpath(OUTPUT)))


if __name__ == "__main__":
    main()
