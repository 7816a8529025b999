#!/usr/bin/env python3
"""Two or more builds of our client, run in turn on the same data, and vdirsyncer on it too; medians.

A change is measured against the build before it on a shared machine, whose speed drifts: the builds
take turns, round after round, each on a fresh copy of the data, as bench/sync_comparison.py measures
one (processor time and peak memory of each sync). The data is that of bench/sync_comparison.py
(--case realistic: first sync, no change, 1 % changed; --case minimal: the same syncs of its minimal
records, every one on the phone, our desktop side the folder stores) or the foreign-series case of
bench/sync_pathological.py (--case foreign: first sync, no change). vdirsyncer runs --theirs times
after the builds; the table gives each median and its ratio to vdirsyncer's.

Every round's folder stays until the end: on a file system without a journal, creating files within
about half a minute of deleting thousands of others makes the kernel's inode allocator step over each
recently freed inode, which put up to ten seconds of system time into the next first sync (perf:
ext4's recently_deleted); deleting between rounds charged that to whichever side ran next.

--keep PREFIX keeps each round's folder of the first build (PREFIX-0, PREFIX-1, ...) for
calendar_listing_bench or a profiler: its settings still name the folder it was made in, which the
caller points at the copy.

Usage: bench/paired_builds.py --builds /var/tmp/before,build-release [--case realistic|minimal|foreign]
                              [--size 2000] [--rounds 3] [--theirs 1] [--settle 5] [--keep PREFIX]
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sync_comparison as comparison  # noqa: E402
import sync_pathological as pathological  # noqa: E402
from sync_comparison import Items, OurSide, ShapedOurSide, ShapedTheirSide, TheirSide  # noqa: E402


def syncs(case, side):
    return pathological.first_and_no_change(side) if case == "foreign" else comparison.measured_syncs(side, False)


def our_side(build, folder, size, items):
    """Our client on the items, or (None) on the minimal records over the folder stores."""
    return OurSide(build, folder, size, "folders") if items is None else ShapedOurSide(build, folder, items)


def their_side(folder, size, items):
    return TheirSide(folder, size) if items is None else ShapedTheirSide(folder, items)


def table(case, size, names, results):
    theirs = results.get("vdirsyncer")
    lines = ["| %s %d | who | CPU median (runs) | peak median | CPU / vdirsyncer | peak / vdirsyncer |" % (case, size),
             "|---|---|---|---|---|---|"]
    for name in names:
        for who, runs_of in results.items():
            cpus = [run.cpu for run in runs_of[name]]
            cpu = statistics.median(cpus)
            peak = statistics.median(run.peak_mb for run in runs_of[name])
            ratios = ("-", "-")
            if theirs:
                their_cpu = statistics.median(run.cpu for run in theirs[name])
                their_peak = statistics.median(run.peak_mb for run in theirs[name])
                ratios = ("%.3f" % (cpu / their_cpu), "%.3f" % (peak / their_peak))
            lines.append("| %s | %s | %.3f s (%s) | %.1f MB | %s | %s |"
                         % (name, who, cpu, " ".join("%.3f" % value for value in cpus), peak, *ratios))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--case", choices=("realistic", "minimal", "foreign"), default="realistic")
    parser.add_argument("--size", type=int, default=2000)
    parser.add_argument("--builds", default="build-release", help="comma-separated Release build folders")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--theirs", type=int, default=1)
    parser.add_argument("--settle", type=int, default=5, help="seconds between syncs (see sync_comparison.py)")
    parser.add_argument("--keep", default="")
    arguments = parser.parse_args()
    comparison.SETTLE_SECONDS = arguments.settle
    if arguments.case == "foreign":
        items = Items(desktop_events=pathological.foreign_series(arguments.size))
        names = ["first sync", "no-change sync"]
    elif arguments.case == "minimal":
        items = None
        names = ["first sync", "no-change sync", "1 % changed"]
    else:
        items = Items.realistic(arguments.size)
        names = ["first sync", "no-change sync", "1 % changed"]
    builds = arguments.builds.split(",")
    root = tempfile.mkdtemp(prefix="paired-builds-", dir="/var/tmp")
    results = {}
    try:
        print(comparison.load_text(), flush=True)
        sides = [(build, lambda folder, build=build: our_side(build, folder, arguments.size, items)) for build in builds]
        theirs = [("vdirsyncer", lambda folder: their_side(folder, arguments.size, items))]
        rounds = [sides] * arguments.rounds + [theirs] * arguments.theirs
        for number, turn in enumerate(rounds):
            for who, make in turn:
                folder = tempfile.mkdtemp(prefix="run-", dir=root)
                runs = syncs(arguments.case, make(folder))
                if arguments.keep and who == builds[0]:
                    shutil.copytree(folder, "%s-%d" % (arguments.keep, number), symlinks=True)
                for name in names:
                    results.setdefault(who, {}).setdefault(name, []).append(runs[name])
                print("round %d %s: %s" % (number, who, ", ".join("%s %.3f s %.1f MB" % (name, runs[name].cpu, runs[name].peak_mb)
                                                                  for name in names)), flush=True)
        print(comparison.load_text())
        print()
        print(table(arguments.case, arguments.size, names, results))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
