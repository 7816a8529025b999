#!/usr/bin/env python3
"""One iCalendar file holding many events, synced with the phone peer: its cost must grow linearly
with its events.

For each size (default 500 and 5,000 events, all in one .ics file of one calendar folder, as some
programs export a whole calendar), our client (hm_sync_once, folder stores) syncs with the phone peer
(phone_peer, empty at first): a first sync (every event read and sent), a sync with no change, and a
sync after the phone changed 1 % of the events (each written back into the one file). Prints each
run's processor time and the ratio of the largest size's figure to the smallest's, beside the ratio
of their sizes (a linear cost gives the same ratio).

Needs a Release build with the targets hm_sync_once and phone_peer:
    cmake --build build-release -j4 --target hm_sync_once phone_peer

Usage: bench/one_file_calendar_bench.py [--build build-release] [--sizes 500,5000]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sync_comparison  # noqa: E402
from sync_comparison import DEVICE_ID, free_port, measure, stop, wait_for_port  # noqa: E402


def calendar_text(count):
    """One VCALENDAR with count events, each shaped as the comparison bench's single events."""
    events = []
    for index in range(count):
        text = sync_comparison.vevent(index)
        events.append(text[text.index("BEGIN:VEVENT"):text.index("END:VCALENDAR")])
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Harrowmere bench//EN\r\n" + "".join(events) +
            "END:VCALENDAR\r\n")


class OneFileSide:
    def __init__(self, build, folder, count):
        self.client = os.path.join(build, "tools", "hm-sync", "hm_sync_once")
        self.peer = os.path.join(build, "tools", "peers", "phone_peer")
        for program in (self.client, self.peer):
            if not os.access(program, os.X_OK):
                sys.exit("%s is missing: build the targets hm_sync_once and phone_peer first" % program)
        self.folder, self.count = folder, count
        self.data = os.path.join(folder, "phone.json")
        self.log = os.path.join(folder, "log.txt")
        self.contacts = os.path.join(folder, "contacts")
        self.calendars = os.path.join(folder, "calendars")
        self.file = os.path.join(self.calendars, "home", "calendar.ics")
        self.env = dict(os.environ, HOME=os.path.join(folder, "home"), TZ="UTC", LANG="C.UTF-8")
        for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"):
            self.env[name] = os.path.join(folder, "home", name.lower())
        for path in (self.env["HOME"], self.contacts, os.path.dirname(self.file)):
            os.makedirs(path, exist_ok=True)
        with open(self.file, "w", newline="") as file:
            file.write(calendar_text(count))
        with open(self.data, "w") as file:
            json.dump({"nextId": 100, "conduits": {}}, file)
        self.process = None
        self.port = 0
        self.first = True

    def start_peer(self):
        self.port = free_port()
        command = [self.peer, "--port", str(self.port), "--data", self.data, "--device-id", DEVICE_ID]
        log = open(self.log, "ab")
        self.process = subprocess.Popen(command, env=self.env, stdout=log, stderr=subprocess.STDOUT)
        wait_for_port(self.port, self.process, "phone_peer")

    def stop(self):
        stop(self.process)
        self.process = None

    def sync(self):
        if self.process is None:
            self.start_peer()
        command = [self.client, "--port", str(self.port), "--logon-pause-ms", "0", "--contacts-folder",
                   self.contacts, "--calendars-folder", self.calendars]
        if self.first:
            command += ["--create-profile", "--phone-id", DEVICE_ID]
            self.first = False
        return measure(command, self.env, self.log)

    def change_on_phone(self):
        """The phone changes the title of every hundredth event."""
        self.stop()
        with open(self.data) as file:
            store = json.load(file)
        events = store["conduits"].get("D", [])
        if len(events) != self.count:
            sys.exit("%s: the phone holds %d events, not %d" % (self.folder, len(events), self.count))
        for record in events[::100]:
            record["fields"]["SUBJECT"] += " (changed)"
            record["change"] = "update"
        with open(self.data, "w") as file:
            json.dump(store, file)

    def events_in_file(self, marker="BEGIN:VEVENT"):
        with open(self.file, errors="replace") as file:
            return file.read().count(marker)


def runs_for(build, count):
    with tempfile.TemporaryDirectory(prefix="one-file-bench-") as folder:
        side = OneFileSide(build, folder, count)
        try:
            runs = {"first sync": side.sync()}
            runs["no-change sync"] = side.sync()
            side.change_on_phone()
            runs["1 % changed on the phone"] = side.sync()
            changed = side.events_in_file("(changed)")
            if side.events_in_file() != count or changed != len(range(0, count, 100)):
                sys.exit("size %d: the file holds %d events, %d changed" % (count, side.events_in_file(), changed))
            return runs
        finally:
            side.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build-release")
    parser.add_argument("--sizes", default="500,5000")
    arguments = parser.parse_args()
    sizes = [int(size) for size in arguments.sizes.split(",")]
    results = {size: runs_for(arguments.build, size) for size in sizes}
    print("%-26s" % "events in the file" + "".join("%12d" % size for size in sizes) + "%10s" % "ratio")
    for run in results[sizes[0]]:
        cpu = [results[size][run].cpu for size in sizes]
        print("%-26s" % (run + ", CPU s") + "".join("%12.2f" % value for value in cpu) +
              "%10.1f" % (cpu[-1] / max(cpu[0], 1e-3)))
    print("size ratio %.1f (a linear cost gives the same ratio)" % (sizes[-1] / sizes[0]))


if __name__ == "__main__":
    main()
