#!/usr/bin/env python3
"""Tasks and memos from the phone into an empty Outlook, and the tasks alone into Outlook against the same
tasks into the calendar store's reminder lists.

tools/hm-sync (hm_sync_once) takes N realistic tasks and N memos (bench/realistic_data.py: repeated titles,
due dates, start days and reminders, priorities, a quarter completed, notes of several lines, categories)
from the phone peer (phone_peer) into the simulated Outlook (outlook_peer, --calendar-store outlook: one
script each). Memos sync with Outlook only, so the comparison is made on the tasks alone: in the same run
the N tasks go once more into an empty Outlook and once into an empty calendar folder (--calendar-store
ical: a reminder list). Each of the three syncs twice: the first sync and one with nothing changed; each
must end with every task and memo once on the phone and on the desktop. Measured for the client alone: processor time (user + system), wall time,
peak resident memory and bytes written. Several --records sizes give the exponent of a power law fitted to
each side's processor time (1 is linear).

Needs a Release build with the targets hm_sync_once, phone_peer and outlook_peer:
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-release -j4 --target hm_sync_once phone_peer outlook_peer

With --rounds R each store runs R times at each size and each sync's median processor time is kept.

Usage: bench/outlook_tasks_bench.py [--build build-release] [--records 500 1000 2000] [--rounds 1] [--keep]
"""

import argparse
import os
import re
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realistic_data  # noqa: E402
from outlook_events_bench import OUTLOOK_FOLDERS, Side  # noqa: E402
from run_tables import print_ratios, print_runs  # noqa: E402
from sync_comparison import fitted_exponent  # noqa: E402

# The conduits' letters in the phone peer's file, and the names the driver and Outlook's dump give them.
CONDUITS = (("T", "Tasks", "tasks"), ("M", "Memos", "notes"))


class TaskSide(Side):
    """Our client with the tasks and memos on the phone and Outlook or the calendar folder empty."""

    def __init__(self, build, folder, tasks, memos, store):
        super().__init__(build, folder, [], store, True)
        self.count = len(tasks) + len(memos)
        self.tasks, self.memos = tasks, memos

    def prepare(self):
        records = {}
        for (letter, _, _), items in zip(CONDUITS, (self.tasks, self.memos)):
            records[letter] = [{"uid": "%s%06d" % (letter, index + 1), "change": "add", "fields": fields}
                               for index, fields in enumerate(items)]
        self.write_phone(records)
        if self.store_name == "ical":
            os.makedirs(os.path.join(self.calendars, "home"))
        else:
            self.start_outlook({"folders": OUTLOOK_FOLDERS})

    def phone_counts(self):
        conduits = self.read_phone()["conduits"]
        return {name: len(conduits.get(letter, [])) for letter, name, _ in CONDUITS}

    def desktop_counts(self):
        """Outlook's tasks and notes, or the counts the driver printed after its last sync (the folder's)."""
        if self.store_name == "outlook":
            state = self.send({"op": "dump"})["state"]
            return {name: len(state.get(kind, [])) for _, name, kind in CONDUITS}
        with open(self.log, errors="replace") as file:
            output = file.read()
        counts = {}
        for _, name, _ in CONDUITS:
            found = re.findall(r"desktop store, %s: (\d+) records" % name, output)
            counts[name] = int(found[-1]) if found else 0
        return counts


def run(build, root, tasks, memos, store):
    # Short: the simulated Outlook's socket lies inside, and a socket's path holds at most 107 bytes.
    folder = tempfile.mkdtemp(prefix="%s%d%s-" % (store[0], len(tasks), "m" if memos else ""), dir=root)
    side = TaskSide(build, folder, tasks, memos, store)
    expected = {"Tasks": len(tasks), "Memos": len(memos)}
    try:
        side.prepare()
        runs = {"first sync": side.sync(), "no-change sync": side.sync()}
        # Read from the driver's log or Outlook before the phone peer stops.
        desktop = side.desktop_counts()
        for where, counts in (("desktop", desktop), ("phone", side.phone_counts())):
            if counts != expected:
                sys.exit("%s: the %s holds %s, not %s (see %s)" % (store, where, counts, expected, side.log))
        return runs
    finally:
        side.stop_all()


def median_runs(rounds, build, root, loads):
    """For each (tasks, memos, store) load, each sync's run of median processor time over that many rounds,
    the loads taking turns within a round (a drift of the machine's speed then touches all alike): at these
    sizes a sync takes tenths of a second, and one run on a loaded machine says little."""
    runs = [[run(build, root, tasks, memos, store) for tasks, memos, store in loads] for _ in range(rounds)]
    return [{name: sorted((each[index][name] for each in runs), key=lambda outcome: outcome.cpu)[rounds // 2]
             for name in runs[0][index]} for index in range(len(loads))]


def report(tasks, memos, both, outlook, folder):
    print("\n%d tasks (%d completed, %d with a due date, %d with a note), %d memos (%d with categories)" % (
        len(tasks), sum(1 for task in tasks if task.get("PERCENTCOMPLETE") == "100"),
        sum(1 for task in tasks if "DUEDATE" in task), sum(1 for task in tasks if "NOTE" in task),
        len(memos), sum(1 for memo in memos if "CATEGORY" in memo)))
    print_runs((("outlook, tasks and memos", both), ("outlook, tasks", outlook), ("ical, tasks", folder)))
    print_ratios("outlook / ical, tasks alone:", outlook, folder, ("first sync", "no-change sync"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--records", type=int, nargs="+", default=[500, 1000, 2000], help="tasks and memos each")
    parser.add_argument("--rounds", type=int, default=1, help="runs of each store and size; the median is kept")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (its logs) afterwards")
    arguments = parser.parse_args()
    root = tempfile.mkdtemp(prefix="hm-outlook-tasks-bench-", dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    results = []
    try:
        for count in arguments.records:
            tasks, memos = realistic_data.make_tasks(count), realistic_data.make_memos(count)
            both, outlook, folder = median_runs(arguments.rounds, arguments.build, root,
                                                ((tasks, memos, "outlook"), (tasks, [], "outlook"), (tasks, [], "ical")))
            report(tasks, memos, both, outlook, folder)
            results.append((count, both, outlook, folder))
    finally:
        if not arguments.keep:
            shutil.rmtree(root, ignore_errors=True)
    if len(results) > 1:
        print("\nfitted exponent of CPU:")
        for name in ("first sync", "no-change sync"):
            exponents = [fitted_exponent([(result[0], result[side][name].cpu) for result in results]) for side in (1, 2, 3)]
            print("  %s: outlook tasks and memos %.2f, outlook tasks %.2f, ical tasks %.2f" % (name, *exponents))


if __name__ == "__main__":
    main()
