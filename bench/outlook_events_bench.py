#!/usr/bin/env python3
"""Events between Outlook and the phone, against the same events and the calendar store's folders.

tools/hm-sync (hm_sync_once) sends N realistic events (birthdays, all-day events, meetings, a share of
series, some with removed and moved occurrences; bench/realistic_data.py) to the phone peer
(phone_peer), which starts empty: once from the simulated Outlook (outlook_peer, --calendar-store
outlook), once from a calendar folder of iCalendar files (--calendar-store ical). Measured for the
client alone: processor time (user + system), wall time, peak resident memory and bytes written.

The Outlook side syncs three times: the first sync; a follow-up that sends the moved occurrences,
whose series' ids on the phone come with the first sync's answer; then a sync with nothing changed.
The folder side syncs twice: the first sync and one with nothing changed.

With --from-phone the events start on the phone instead (its records of them: series with removed
days, each moved occurrence an event of its own, all-day events, a share in other zones), and go to an
empty Outlook (one script or iCalendar import each) and to an empty calendar folder. Each side syncs
twice: the first sync and one with nothing changed; both sides must end with every event once. Several
--records sizes give the exponent of a power law fitted to the Outlook side's processor time (1 is
linear).

Needs a Release build with the targets hm_sync_once, phone_peer and outlook_peer:
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-release -j4 --target hm_sync_once phone_peer outlook_peer

Usage: bench/outlook_events_bench.py [--build build-release] [--records 5000 ...] [--from-phone]
"""

import argparse
import datetime
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realistic_data  # noqa: E402
import peer_processes  # noqa: E402
from run_tables import print_ratios, print_runs  # noqa: E402
from sync_comparison import DEVICE_ID, OurSide, fitted_exponent, measure  # noqa: E402

# Outlook's default folders: address book, calendar, task folder, note folder.
OUTLOOK_FOLDERS = [{"id": id, "kind": kind, "name": name} for id, kind, name in (
    (1, "address book", "Address Book"), (2, "calendar", "Calendar"), (3, "task folder", "Tasks"), (4, "note folder", "Notes"))]

# The zones the phone gives its events, in turn (None: the phone names none); files written as another
# program writes them keep FOREIGN_ZONE.
PHONE_ZONES = [None, None, "America/Los_Angeles", None, "Asia/Kolkata", None, "America/New_York"]


def iso(moment):
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def outlook_events(events):
    """The simulated Outlook's records of the events: each series or event, then its moved occurrences."""
    records = []
    next_id = 1000
    for event in events:
        zone = realistic_data.FOREIGN_ZONE if event.foreign and not event.all_day else "UTC"
        end = event.start + datetime.timedelta(minutes=event.minutes)
        record = {"id": next_id, "folder": 2, "created": "2026-01-01T00:00:00Z", "modified": "2026-01-02T00:00:00Z",
                  "start": iso(event.start), "end": iso(end), "subject": event.subject, "location": event.location,
                  "zone": zone, "allDay": event.all_day, "busy": "busy"}
        if not event.all_day:
            record["alarm"] = 15
        if event.rule:
            frequency, interval, count = event.rule
            record["rrule"] = "FREQ=%s" % frequency + (";COUNT=%d" % count if count else "") + ";INTERVAL=%d" % interval
            record["exdates"] = [iso(deleted) for deleted in event.deleted]
        records.append(record)
        master = next_id
        next_id += 1
        for original, start in event.moved:
            records.append({"id": next_id, "folder": 2, "created": "2026-01-01T00:00:00Z",
                            "modified": "2026-01-02T00:00:00Z", "master": master, "start": iso(start),
                            "end": iso(start + datetime.timedelta(minutes=event.minutes)),
                            "subject": event.subject + " (moved)", "zone": zone, "recurrenceId": iso(original)})
            next_id += 1
    return records


def phone_records(events):
    """The phone's records of the events, as it lists new ones: its zone on each timed event."""
    records = []
    for event in events:
        zone = realistic_data.FOREIGN_ZONE if event.foreign else PHONE_ZONES[event.index % len(PHONE_ZONES)]
        for fields in realistic_data.phone_events(event):
            if zone and not event.all_day:
                fields["TimeZone"] = zone
            records.append({"uid": "D%06d" % (len(records) + 1), "change": "add", "fields": fields})
    return records


class Side(OurSide):
    """Our client with the events in Outlook or in a calendar folder and the phone empty, or (from_phone)
    the events on the phone and the desktop side empty."""

    def __init__(self, build, folder, events, store, from_phone):
        super().__init__(build, folder, len(events))
        self.events, self.store_name, self.from_phone = events, store, from_phone
        self.outlook = os.path.join(build, "tools", "peers", "outlook_peer")
        self.calendars = os.path.join(folder, "calendars")
        self.runtime = os.path.join(folder, "run")
        self.outlook_process = None

    def prepare(self):
        self.write_phone({"D": phone_records(self.events)} if self.from_phone else {})
        if self.store_name == "ical":
            folder = os.path.join(self.calendars, "home")
            os.makedirs(folder)
            for event in [] if self.from_phone else self.events:
                with open(os.path.join(folder, "event-%d.ics" % event.index), "w", newline="") as file:
                    file.write(realistic_data.ics(event))
            return
        self.start_outlook({"folders": OUTLOOK_FOLDERS, "events": [] if self.from_phone else outlook_events(self.events)})
        self.send({"op": "switches", "listsOccurrences": True})

    def start_outlook(self, contents):
        """The simulated Outlook, holding the contents (its seed), until stop_all."""
        os.makedirs(self.runtime, mode=0o700)
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        self.outlook_process = peer_processes.start_outlook(self.outlook, self.env, self.runtime, self.folder, contents,
                                                       self.log)

    def send(self, command):
        """A control message to the simulated Outlook; its answer."""
        return peer_processes.send_to_outlook(self.outlook, self.env, self.runtime, command)

    def sync(self):
        if self.process is None:
            self.start_peer()
        command = [self.client, "--port", str(self.port), "--store", self.store, "--logon-pause-ms", "0",
                   "--calendar-store", self.store_name]
        command += ["--contacts-store", "outlook"] if self.store_name == "outlook" else [
            "--contacts-store", "memory", "--calendars-folder", self.calendars]
        if self.first:
            command += ["--create-profile", "--phone-id", DEVICE_ID]
            self.first = False
        # Outlook's dates are whole seconds: the next sync starts in a later one.
        time.sleep(1.1)
        return measure(command, self.env, self.log)

    def phone_count(self):
        return len(self.read_phone()["conduits"].get("D", []))

    def desktop_count(self):
        """The events the desktop side holds: Outlook's, or the calendar folder's files."""
        if self.store_name == "outlook":
            return len(self.send({"op": "dump"})["state"]["events"])
        return len([name for name in os.listdir(os.path.join(self.calendars, "home")) if name.endswith(".ics")])

    def stop_all(self):
        self.stop()
        if self.outlook_process is not None:
            self.outlook_process.terminate()
            self.outlook_process.wait()


def run(build, root, events, store, from_phone):
    side = Side(build, tempfile.mkdtemp(prefix="%s-%d-" % (store, len(events)), dir=root), events, store, from_phone)
    # The phone keeps each moved occurrence as an event of its own.
    expected = len(events) + sum(len(event.moved) for event in events)
    try:
        side.prepare()
        runs = {"first sync": side.sync()}
        if store == "outlook" and not from_phone:
            runs["follow-up sync"] = side.sync()
        runs["no-change sync"] = side.sync()
        counts = {"phone": side.phone_count()}
        if from_phone:
            counts[store] = side.desktop_count()
        for where, count in counts.items():
            if count != expected:
                sys.exit("%s: %s holds %d events, not %d (see %s)" % (store, where, count, expected, side.log))
        return runs
    finally:
        side.stop_all()


def report(events, outlook, folder):
    series = sum(1 for event in events if event.rule)
    changed = sum(1 for event in events if event.deleted or event.moved)
    print("\n%d events: %d series, %d with removed or moved occurrences, %d all-day" % (
        len(events), series, changed, sum(1 for event in events if event.all_day)))
    print_runs((("outlook", outlook), ("ical", folder)))
    print_ratios("outlook / ical:", outlook, folder, ("first sync", "no-change sync"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--records", type=int, nargs="+", default=[5000], help="events to send")
    parser.add_argument("--from-phone", action="store_true", help="the phone starts with the events")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (its logs) afterwards")
    arguments = parser.parse_args()
    root = tempfile.mkdtemp(prefix="hm-outlook-events-bench-", dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    results = []
    try:
        for count in arguments.records:
            events = realistic_data.make_events(count)
            outlook = run(arguments.build, root, events, "outlook", arguments.from_phone)
            folder = run(arguments.build, root, events, "ical", arguments.from_phone)
            report(events, outlook, folder)
            results.append((count, outlook, folder))
    finally:
        if not arguments.keep:
            shutil.rmtree(root, ignore_errors=True)
    if len(results) > 1:
        print("\nfitted exponent of CPU:")
        for name in ("first sync", "no-change sync"):
            print("  %s: outlook %.2f, ical %.2f" % (name, fitted_exponent([(count, runs[name].cpu) for count, runs, _ in results]),
                  fitted_exponent([(count, runs[name].cpu) for count, _, runs in results])))


if __name__ == "__main__":
    main()
