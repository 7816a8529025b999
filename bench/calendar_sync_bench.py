#!/usr/bin/env python3
"""Events from the phone into the desktop's calendar store, and a sync with nothing to do.

tools/hm-sync (hm_sync_once) syncs with the phone peer (phone_peer), which holds N events, a tenth of
them weekly series on Monday, Wednesday and Friday: first into an empty store, then once more with no
change. Measured for the client alone: processor time (user + system), wall time and peak resident
memory, with the calendar store on iCalendar folders (--calendar-store ical) and, for comparison, in
the driver's memory store (--calendar-store memory). Contacts stay in the memory store, empty.

Needs a Release build with the targets hm_sync_once and phone_peer:
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-release -j4 --target hm_sync_once phone_peer

Usage: bench/calendar_sync_bench.py [--build build-release] [--records 10000] [--stores ical,memory]
The work folder goes under $HM_BENCH_DIR (default /var/tmp; /dev/shm leaves the disk out of it), and
$HM_BENCH_WRAP runs each client under a profiler, its last word taking the run's number as a suffix.
"""

import argparse
import datetime
import json
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sync_comparison import DEVICE_ID, OurSide, measure, phone_event  # noqa: E402

RECURRING_SHARE = 10  # one event in this many is a series


def bench_event(index):
    """The phone's fields of event `index`: a one-hour meeting, every tenth a weekly series."""
    fields = phone_event(index)
    # From tomorrow on over a year: events that ended long ago are not taken from the phone.
    day = (datetime.date.today() + datetime.timedelta(days=1 + index % 365)).strftime("%Y%m%d")
    fields.update({"GMTSTARTDATE": day, "GMTENDDATE": day})
    fields["NOTE"] = "Agenda\nfirst & second"
    if index % RECURRING_SHARE == 0:
        fields.update({"REPEAT": "2", "INTERVAL": "1", "DAYMASK": "42"})
    return fields


class CalendarSide(OurSide):
    """Our client with the events in the chosen calendar store."""

    def __init__(self, build, folder, count, store):
        super().__init__(build, folder, count)
        self.store = store
        self.calendars = os.path.join(folder, "calendars")
        self.runs = 0

    def prepare(self):
        events = [{"uid": "D%06d" % (i + 1), "change": "add", "fields": bench_event(i)} for i in range(self.count)]
        self.write_phone({"D": events})

    def event_count(self):
        if self.store == "memory":
            with open(os.path.join(self.folder, "desktop.json")) as file:
                return len(json.load(file).get("2", {}).get("records", {}))
        count = 0
        for calendar in os.listdir(self.calendars):
            path = os.path.join(self.calendars, calendar)
            if os.path.isdir(path):
                count += sum(1 for name in os.listdir(path) if name.endswith(".ics"))
        return count

    def sync(self):
        if self.process is None:
            self.start_peer()
        command = [self.client, "--port", str(self.port), "--store", os.path.join(self.folder, "desktop.json"),
                   "--logon-pause-ms", "0", "--contacts-store", "memory", "--calendar-store", self.store,
                   "--calendars-folder", self.calendars]
        if self.first:
            command += ["--create-profile", "--phone-id", DEVICE_ID]
            self.first = False
        # A profiler may wrap the client, e.g. HM_BENCH_WRAP="perf record -g -o /tmp/first.data".
        wrapper = os.environ.get("HM_BENCH_WRAP", "").split()
        if wrapper:
            wrapper[-1] = "%s.%d" % (wrapper[-1], self.runs)
        self.runs += 1
        return measure(wrapper + command, self.env, self.log)


def run(build, root, count, store):
    side = CalendarSide(build, tempfile.mkdtemp(prefix="%s-%d-" % (store, count), dir=root), count, store)
    try:
        side.prepare()
        runs = {"first sync": side.sync()}
        if side.event_count() != count:
            sys.exit("%s store: the first sync left %d events, not %d (see %s)"
                     % (store, side.event_count(), count, side.log))
        runs["no-change sync"] = side.sync()
        return runs
    finally:
        side.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--records", type=int, default=10000, help="events on the phone")
    parser.add_argument("--stores", default="ical,memory", help="calendar stores to measure")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    arguments = parser.parse_args()
    root = tempfile.mkdtemp(prefix="hm-calendar-bench-", dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    results = {}
    try:
        for store in arguments.stores.split(","):
            results[store] = run(arguments.build, root, arguments.records, store)
    finally:
        if arguments.keep:
            print("work folder: %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)
    print("\n| %d events | store | CPU | wall | peak |" % arguments.records)
    print("|---|---|---|---|---|")
    for store, runs in results.items():
        for name, outcome in runs.items():
            print("| %s | %s | %.2f s | %.2f s | %.0f MB |" % (name, store, outcome.cpu, outcome.wall, outcome.peak_mb))
    if "ical" in results and "memory" in results:
        print("\nical / memory:")
        for name in results["ical"]:
            ical, memory = results["ical"][name], results["memory"][name]
            print("  %s: CPU %.2f, wall %.2f, peak %.2f" % (name, ical.cpu / max(memory.cpu, 1e-3),
                  ical.wall / max(memory.wall, 1e-3), ical.peak_mb / max(memory.peak_mb, 1e-3)))


if __name__ == "__main__":
    main()
