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
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import phone_data  # noqa: E402
import sync_comparison  # noqa: E402


def calendar_text(count):
    """One VCALENDAR with count events, each shaped as the comparison bench's single events."""
    events = []
    for index in range(count):
        text = sync_comparison.vevent(index)
        events.append(text[text.index("BEGIN:VEVENT"):text.index("END:VCALENDAR")])
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Harrowmere bench//EN\r\n" + "".join(events) +
            "END:VCALENDAR\r\n")


class OneFileSide(sync_comparison.OurSide):
    """The comparison bench's client and phone, the events in one file of the calendar folders."""

    def __init__(self, build, folder, count):
        super().__init__(build, folder, count, stores="folders")
        self.contacts = os.path.join(folder, "contacts")
        self.calendars = os.path.join(folder, "calendars")
        self.file = os.path.join(self.calendars, "home", "calendar.ics")
        for path in (self.contacts, os.path.dirname(self.file)):
            os.makedirs(path, exist_ok=True)
        with open(self.file, "w", newline="") as file:
            file.write(calendar_text(count))
        self.write_phone({})

    def store_options(self):
        return ["--contacts-folder", self.contacts, "--calendars-folder", self.calendars]

    def change_on_phone(self):
        """The phone changes the title of every hundredth event."""
        store = self.read_phone()
        events = store["conduits"].get("D", [])
        if len(events) != self.count:
            sys.exit("%s: the phone holds %d events, not %d" % (self.folder, len(events), self.count))
        for record in events[::100]:
            record["fields"]["SUBJECT"] += " (changed)"
            record["change"] = "update"
        phone_data.write(self.data, store)

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
