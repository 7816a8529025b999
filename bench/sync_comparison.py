#!/usr/bin/env python3
"""Our client against a standard CalDAV/CardDAV client, on the same records, on loopback.

Ours: tools/hm-sync (hm_sync_once) syncing with the phone peer (phone_peer). Theirs: vdirsyncer syncing
with a Radicale server into a local folder. For each client alone (not its server) the script measures
the processor time (user + system), the peak resident memory and the bytes it wrote, for a first sync, a
sync with no change and a sync after 1 % of the records changed on the server side; then the first sync
at several sizes with the exponent of a power-law fit (1.0 is linear).

The records (--data):
- realistic (the default): N contacts and N events shaped like real users' stores (bench/realistic_data.py:
  repeated names, shared companies, series with deleted and moved occurrences, birthdays, a fifth of the
  files written as other programs write them). Half of each are on the server side (the phone; Radicale),
  the other half are files in the desktop folders (our vCard and calendar folders; vdirsyncer's local
  folders, byte for byte the same files), so the first sync carries records both ways. Our desktop side
  is the folders (--stores folders).
- minimal: N contacts and N events, every name unique and no event repeating, all on the server side.

Needs a Release build with the targets hm_sync_once and phone_peer:
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-release -j4 --target hm_sync_once phone_peer
and, for the other side, vdirsyncer and Radicale (Debian 12: apt-get install vdirsyncer radicale).
Without them only our client is measured. Each client runs under GNU time (apt-get install time).

Usage: bench/sync_comparison.py [--build build-release] [--records 10000] [--scaling 2000,5000,10000]
                                [--data realistic|minimal] [--stores memory|folders] [--settle 61]
"""

import argparse
import contextlib
import datetime
import json
import math
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import phone_data  # noqa: E402
import realistic_data  # noqa: E402

DEVICE_ID = "QP-PEER-0001"
CHANGED_SHARE = 0.01
# Seconds for which ext4 without a journal still treats a flushed freed inode as recently deleted, plus one
# (--settle changes it).
SETTLE_SECONDS = 61


# ---- the records, the same on both sides -------------------------------------------------------


def event_day(index):
    """The day of event `index` as (year, month, day): a year of days from a month ago, so that every
    event lies inside the range a calendar sync keeps (it leaves out events that ended more than 90
    days ago)."""
    day = datetime.date.today() - datetime.timedelta(days=30) + datetime.timedelta(days=index % 365)
    return day.year, day.month, day.day


def phone_contact(index, revision=0):
    suffix = " (changed)" if revision else ""
    return {
        "NEWFNAME": "First%d" % index,
        "NEWLNAME": "Last%d%s" % (index, suffix),
        "EMAIL": "person%d@example.org" % index,
        "PHONE1": "+44 20 7946 %04d" % (index % 10000),
        "PHONELABEL1": "2",
        "COMPANY": "Company & Sons %d" % (index % 97),
        "NOTE": "Met at the fair\nlikes tea",
    }


def phone_event(index, revision=0):
    year, month, day = event_day(index)
    date = "%04d%02d%02d" % (year, month, day)
    return {
        "SUBJECT": "Meeting %d%s" % (index, " (changed)" if revision else ""),
        "LOCATION": "Room %d" % (index % 40),
        "GMTSTARTDATE": date,
        "GMTSTARTTIME": "09:00:00",
        "GMTENDDATE": date,
        "GMTENDTIME": "10:00:00",
        "TYPE": "0",
        "ALARMTIME": "15",
    }


def vcard(index, revision=0):
    fields = phone_contact(index, revision)
    return (
        "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:contact-%d\r\n"
        "FN:%s %s\r\nN:%s;%s;;;\r\nEMAIL;TYPE=INTERNET:%s\r\nTEL;TYPE=WORK:%s\r\n"
        "ORG:%s\r\nNOTE:Met at the fair\\nlikes tea\r\nEND:VCARD\r\n"
        % (
            index,
            fields["NEWFNAME"],
            fields["NEWLNAME"],
            fields["NEWLNAME"],
            fields["NEWFNAME"],
            fields["EMAIL"],
            fields["PHONE1"],
            fields["COMPANY"],
        )
    )


def vevent(index, revision=0):
    fields = phone_event(index, revision)
    date = fields["GMTSTARTDATE"]
    return (
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Harrowmere bench//EN\r\nBEGIN:VEVENT\r\n"
        "UID:event-%d\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:%sT090000Z\r\nDTEND:%sT100000Z\r\n"
        "SUMMARY:%s\r\nLOCATION:%s\r\nBEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:%s\r\n"
        "TRIGGER:-PT15M\r\nEND:VALARM\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n"
        % (index, date, date, fields["SUBJECT"], fields["LOCATION"], fields["SUBJECT"])
    )


def changed_indexes(count):
    step = int(round(1 / CHANGED_SHARE))
    return range(0, count, step)


# ---- measuring one client run ------------------------------------------------------------------


class Run:
    def __init__(self, cpu, peak_mb, written_mb, wall):
        self.cpu, self.peak_mb, self.written_mb, self.wall = cpu, peak_mb, written_mb, wall


def measure(command, env, log_path):
    """Runs the command to its end and answers its own processor time, peak memory and writes.

    The peak and the writes come from /usr/bin/time, a small process that starts the command: the
    kernel counts in a process's peak what it held before it started its program, and a child of this
    script is a copy of it, records and all, until then (a client smaller than this script would show
    this script's size). The processor time is the child's own, time's few microseconds included."""
    with open(log_path, "ab") as log, tempfile.NamedTemporaryFile(mode="r", prefix="measure-") as numbers:
        log.write(("\n$ %s\n" % " ".join(command)).encode())
        log.flush()
        start = time.monotonic()
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M %O", "-o", numbers.name] + command, env=env,
                                   stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.monotonic() - start
        # A command that failed has a line about it before the numbers.
        peak_kb, blocks = (int(value) for value in numbers.read().split()[-2:])
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s failed (exit %d); see %s" % (command[0], os.waitstatus_to_exitcode(status), log_path))
    return Run(usage.ru_utime + usage.ru_stime, peak_kb / 1024.0, blocks * 512 / 1e6, wall)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, what, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit("%s ended at start" % what)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("%s did not listen on port %d" % (what, port))


def stop(process):
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


# ---- our client against the phone peer ---------------------------------------------------------


class OurSide:
    def __init__(self, build, folder, count, stores="memory"):
        self.client = os.path.join(build, "tools", "hm-sync", "hm_sync_once")
        self.peer = os.path.join(build, "tools", "peers", "phone_peer")
        for program in (self.client, self.peer):
            if not os.access(program, os.X_OK):
                sys.exit("%s is missing: build the targets hm_sync_once and phone_peer first" % program)
        self.folder, self.count, self.stores = folder, count, stores
        self.data = os.path.join(folder, "phone.json")
        self.store = os.path.join(folder, "desktop.json")
        self.log = os.path.join(folder, "log.txt")
        self.env = dict(os.environ, HOME=os.path.join(folder, "home"), TZ="UTC", LANG="C.UTF-8")
        for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"):
            self.env[name] = os.path.join(folder, "home", name.lower())
        os.makedirs(self.env["HOME"], exist_ok=True)
        self.process = None
        self.port = 0
        self.first = True

    def write_phone(self, records):
        phone_data.write(self.data, {"nextId": 10 * self.count + 100, "conduits": records})

    def read_phone(self):
        """The phone's whole store (bench/phone_data.py), the peer stopped."""
        self.stop()
        return phone_data.read(self.data)

    def prepare(self):
        contacts = [{"uid": "A%06d" % (i + 1), "change": "add", "fields": phone_contact(i)} for i in range(self.count)]
        events = [{"uid": "D%06d" % (i + 1), "change": "add", "fields": phone_event(i)} for i in range(self.count)]
        self.write_phone({"A": contacts, "D": events})

    def change_one_percent(self):
        store = self.read_phone()
        for letter, make in (("A", phone_contact), ("D", phone_event)):
            by_uid = {record["uid"]: record for record in store["conduits"][letter]}
            for index in changed_indexes(self.count):
                record = by_uid.get("%s%06d" % (letter, index + 1))
                if record is not None:
                    record["fields"] = make(index, revision=1)
                    record["change"] = "update"
        self.write_phone(store["conduits"])

    def record_counts(self):
        """Contacts and events on the desktop after the last sync, as the driver printed them (its store
        keeps recent changes in a log beside its file, so the file alone may not hold them all)."""
        with open(self.log, errors="replace") as file:
            output = file.read()
        counts = []
        for name in ("Contacts", "Calendar"):
            found = re.findall(r"desktop store, %s: (\d+) records" % name, output)
            counts.append(int(found[-1]) if found else 0)
        return counts

    def store_options(self):
        return ["--contacts-store", "memory", "--calendar-store", "memory"] if self.stores == "memory" else []

    def expected_counts(self):
        """Contacts and events each store should hold after the first sync."""
        return [self.count, self.count]

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
        # "memory" measures the sync itself over the driver's memory store; "folders" the whole client
        # with contacts in a vCard folder and events in iCalendar folders, as the application keeps them.
        command = [self.client, "--port", str(self.port), "--store", self.store, "--logon-pause-ms", "0"]
        command += self.store_options()
        if self.first:
            command += ["--create-profile", "--phone-id", DEVICE_ID]
            self.first = False
        return measure(command, self.env, self.log)


# ---- vdirsyncer against Radicale ---------------------------------------------------------------


VDIRSYNCER_CONFIG = """[general]
status_path = "{folder}/status/"

[pair contacts]
a = "contacts_server"
b = "contacts_local"
collections = null
conflict_resolution = "a wins"

[storage contacts_server]
type = "carddav"
url = "http://127.0.0.1:{port}/bench/contacts/"
username = "bench"
password = "bench"

[storage contacts_local]
type = "filesystem"
path = "{folder}/local/contacts/"
fileext = ".vcf"

[pair events]
a = "events_server"
b = "events_local"
collections = null
conflict_resolution = "a wins"

[storage events_server]
type = "caldav"
url = "http://127.0.0.1:{port}/bench/events/"
username = "bench"
password = "bench"

[storage events_local]
type = "filesystem"
path = "{folder}/local/events/"
fileext = ".ics"
"""


class TheirSide:
    def __init__(self, folder, count):
        self.folder, self.count = folder, count
        self.log = os.path.join(folder, "log.txt")
        self.storage = os.path.join(folder, "radicale")
        self.config = os.path.join(folder, "vdirsyncer.conf")
        self.env = dict(os.environ, HOME=os.path.join(folder, "home"), TZ="UTC", LANG="C.UTF-8")
        os.makedirs(self.env["HOME"], exist_ok=True)
        self.process = None
        self.port = 0

    def collection(self, name):
        return os.path.join(self.storage, "collection-root", "bench", name)

    def prepare(self):
        self.fill()
        self.start()

    def fill(self):
        for name, tag, make, extension in (("contacts", "VADDRESSBOOK", vcard, "vcf"),
                                           ("events", "VCALENDAR", vevent, "ics")):
            folder = self.collection(name)
            os.makedirs(folder)
            with open(os.path.join(folder, ".Radicale.props"), "w") as file:
                json.dump({"tag": tag}, file)
            for index in range(self.count):
                with open(os.path.join(folder, "%s-%d.%s" % (name, index, extension)), "w", newline="") as file:
                    file.write(make(index))
        for name in ("contacts", "events"):
            os.makedirs(os.path.join(self.folder, "local", name))

    def start(self):
        self.port = free_port()
        command = ["radicale", "--storage-filesystem-folder", self.storage, "--server-hosts",
                   "127.0.0.1:%d" % self.port, "--auth-type", "none", "--rights-type", "owner_only",
                   "--logging-level", "warning"]
        self.process = subprocess.Popen(command, env=self.env, stdout=open(self.log, "ab"), stderr=subprocess.STDOUT)
        wait_for_port(self.port, self.process, "radicale")
        with open(self.config, "w") as file:
            file.write(VDIRSYNCER_CONFIG.format(folder=self.folder, port=self.port))
        # Discovery records the pairs' collections; it is set-up, not a sync, and is not measured.
        subprocess.run(["vdirsyncer", "-c", self.config, "discover"], env=self.env, input=b"y\ny\n",
                       stdout=open(self.log, "ab"), stderr=subprocess.STDOUT, check=True)

    def stop(self):
        stop(self.process)

    def record_counts(self):
        return [len(os.listdir(os.path.join(self.folder, "local", name))) for name in ("contacts", "events")]

    def expected_counts(self):
        return [self.count, self.count]

    def put(self, path, text, content_type):
        url = "http://127.0.0.1:%d%s" % (self.port, path)
        request = urllib.request.Request(url, data=text.encode(), method="PUT",
                                         headers={"Content-Type": content_type})
        request.add_header("Authorization", "Basic YmVuY2g6YmVuY2g=")  # bench:bench
        urllib.request.urlopen(request, timeout=30).close()

    def change_one_percent(self):
        for index in changed_indexes(self.count):
            self.put("/bench/contacts/contacts-%d.vcf" % index, vcard(index, 1), "text/vcard")
            self.put("/bench/events/events-%d.ics" % index, vevent(index, 1), "text/calendar")

    def sync(self):
        return measure(["vdirsyncer", "-c", self.config, "sync"], self.env, self.log)


def have_their_side():
    missing = [program for program in ("vdirsyncer", "radicale") if shutil.which(program) is None]
    if missing:
        print("Not measuring the other client: %s missing (Debian: apt-get install vdirsyncer radicale)."
              % " and ".join(missing))
    return not missing


# ---- shaped records on both sides ---------------------------------------------------------------


class Items:
    """What the two sides hold before the first sync: records on the server side (the phone; Radicale)
    and files in the desktop folders (ours; vdirsyncer's local folders)."""

    def __init__(self, server_contacts=(), server_events=(), desktop_contacts=(), desktop_events=()):
        self.server_contacts, self.server_events = list(server_contacts), list(server_events)
        self.desktop_contacts, self.desktop_events = list(desktop_contacts), list(desktop_events)

    @staticmethod
    def realistic(count):
        """count contacts and count events shaped like real stores, every other one on the server side."""
        contacts, events = realistic_data.make_contacts(count), realistic_data.make_events(count)
        return Items(contacts[0::2], events[0::2], contacts[1::2], events[1::2])

    def counts(self):
        return [len(self.server_contacts) + len(self.desktop_contacts), len(self.server_events) + len(self.desktop_events)]

    def changed_server_items(self):
        """1 % of the server side's contacts and events, spread over them."""
        step = int(round(1 / CHANGED_SHARE))
        return self.server_contacts[::step], self.server_events[::step]

    def write_desktop_files(self, contacts_folder, events_folder):
        for folder, items, make, name in ((contacts_folder, self.desktop_contacts, realistic_data.vcard, "contact-%d.vcf"),
                                          (events_folder, self.desktop_events, realistic_data.ics, "event-%d.ics")):
            os.makedirs(folder, exist_ok=True)
            for item in items:
                with open(os.path.join(folder, name % item.index), "w", newline="") as file:
                    file.write(make(item))


class ShapedOurSide(OurSide):
    """Our client on Items: the server side's records on the phone, the files in the vCard folder and in
    a calendar folder of the calendar store."""

    def __init__(self, build, folder, items):
        super().__init__(build, folder, max(items.counts()), stores="folders")
        self.items = items
        self.contacts_folder = os.path.join(folder, "contacts")
        self.calendars_folder = os.path.join(folder, "calendars")
        self.phone_uids = {}  # ("A" or "D", item index) -> the phone's uids of its records

    def prepare(self):
        conduits = {"A": [], "D": []}
        for letter, items, records_of in (("A", self.items.server_contacts, lambda item: [realistic_data.phone_contact(item)]),
                                          ("D", self.items.server_events, realistic_data.phone_events)):
            for item in items:
                for fields in records_of(item):
                    uid = "%s%06d" % (letter, len(conduits[letter]) + 1)
                    self.phone_uids.setdefault((letter, item.index), []).append(uid)
                    conduits[letter].append({"uid": uid, "change": "add", "fields": fields})
        self.write_phone(conduits)
        self.items.write_desktop_files(self.contacts_folder, os.path.join(self.calendars_folder, "home"))

    def write_phone(self, records):
        phone_data.write(self.data, {"nextId": 10 * sum(len(value) for value in records.values()) + 100,
                                     "conduits": records})

    def store_options(self):
        return ["--contacts-folder", self.contacts_folder, "--calendars-folder", self.calendars_folder]

    def expected_counts(self):
        # The phone keeps each moved occurrence as an event of its own, which gets a file of its own.
        moved = sum(len(event.moved) for event in self.items.server_events)
        contacts, events = self.items.counts()
        return [contacts, events + moved]

    def change_one_percent(self):
        store = self.read_phone()
        contacts, events = self.items.changed_server_items()
        for letter, items, records_of in (("A", contacts, lambda item, revision: [realistic_data.phone_contact(item, revision)]),
                                          ("D", events, realistic_data.phone_events)):
            by_uid = {record["uid"]: record for record in store["conduits"][letter]}
            for item in items:
                for uid, fields in zip(self.phone_uids[(letter, item.index)], records_of(item, 1)):
                    by_uid[uid].update({"fields": fields, "change": "update"})
        phone_data.write(self.data, store)


class ShapedTheirSide(TheirSide):
    """vdirsyncer on Items: the server side's files in Radicale, the others in its local folders."""

    def __init__(self, folder, items):
        super().__init__(folder, max(items.counts()))
        self.items = items

    def fill(self):
        for name, tag, items, make, extension in (
                ("contacts", "VADDRESSBOOK", self.items.server_contacts, realistic_data.vcard, "vcf"),
                ("events", "VCALENDAR", self.items.server_events, realistic_data.ics, "ics")):
            folder = self.collection(name)
            os.makedirs(folder)
            with open(os.path.join(folder, ".Radicale.props"), "w") as file:
                json.dump({"tag": tag}, file)
            for item in items:
                with open(os.path.join(folder, "%s-%d.%s" % (name, item.index, extension)), "w", newline="") as file:
                    file.write(make(item))
        self.items.write_desktop_files(os.path.join(self.folder, "local", "contacts"),
                                       os.path.join(self.folder, "local", "events"))

    def expected_counts(self):
        return self.items.counts()

    def change_one_percent(self):
        contacts, events = self.items.changed_server_items()
        for contact in contacts:
            self.put("/bench/contacts/contacts-%d.vcf" % contact.index, realistic_data.vcard(contact, 1), "text/vcard")
        for event in events:
            self.put("/bench/events/events-%d.ics" % event.index, realistic_data.ics(event, 1), "text/calendar")


# ---- the runs and the tables -------------------------------------------------------------------


def settle_disk():
    """Flushes the disk and waits out the file system's memory of recent deletions.

    Right after a large deletion, ext4 without a journal passes over recently freed inodes when it
    allocates new ones, which makes creating files far slower for a while. Both clients' first syncs
    create tens of thousands of files, so each starts from a settled disk, whatever ran before it.
    A freed inode whose table block is written again (as creating files next to it does) counts as
    recent for five minutes more: after a large deletion shortly before the run (another run's
    clean-up, say), pass --settle 361.
    """
    os.sync()
    time.sleep(SETTLE_SECONDS)


def flushed_sync(side):
    """One sync after the writes before it have reached the disk.

    Right after a sync that wrote tens of thousands of files the kernel is still writing them back,
    and a sync started then pays for that in its file look-ups (a no-change sync measured at once
    took up to twice its own CPU). A user's next sync comes minutes later; both clients get the same
    flush before each measured sync after the first."""
    os.sync()
    return side.sync()


def measured_syncs(side, first_only):
    """First sync, then unless first_only a no-change sync and a sync after 1 % changed."""
    try:
        side.prepare()
        settle_disk()
        runs = {"first sync": side.sync()}
        if side.record_counts() != side.expected_counts():
            sys.exit("%s: the first sync left %s records, not %s" % (side.folder, side.record_counts(),
                                                                     side.expected_counts()))
        if not first_only:
            runs["no-change sync"] = flushed_sync(side)
            side.change_one_percent()
            runs["1 % changed"] = flushed_sync(side)
        return runs
    finally:
        side.stop()


def run_ours(build, root, count, first_only=False, stores="memory", items=None):
    """Our client on count minimal records of each kind, or on the items given."""
    folder = tempfile.mkdtemp(prefix="ours-%d-" % count, dir=root)
    side = ShapedOurSide(build, folder, items) if items else OurSide(build, folder, count, stores)
    return measured_syncs(side, first_only)


def run_theirs(root, count, first_only=False, items=None):
    folder = tempfile.mkdtemp(prefix="theirs-%d-" % count, dir=root)
    return measured_syncs(ShapedTheirSide(folder, items) if items else TheirSide(folder, count), first_only)


def ratio(ours, theirs):
    return "%.2f" % (ours / theirs) if theirs > 0 else "-"


def print_comparison(count, ours, theirs):
    size = "%gk" % (count / 1000) if count >= 1000 else str(count)
    print("\n| %s + %s | our CPU | vdirsyncer CPU | CPU ratio | our peak | vdirsyncer peak | peak ratio "
          "| we wrote | vdirsyncer wrote |" % (size, size))
    print("|---|---|---|---|---|---|---|---|---|")
    for name, run in ours.items():
        other = theirs[name] if theirs else None
        print("| %s | %.2f s | %s | %s | %.0f MB | %s | %s | %.1f MB | %s |" % (
            name, run.cpu, "%.2f s" % other.cpu if other else "-", ratio(run.cpu, other.cpu) if other else "-",
            run.peak_mb, "%.0f MB" % other.peak_mb if other else "-",
            ratio(run.peak_mb, other.peak_mb) if other else "-", run.written_mb,
            "%.1f MB" % other.written_mb if other else "-"))


def fitted_exponent(points):
    """The exponent b of value = a * n^b fitted by least squares on logarithms."""
    logs = [(math.log(n), math.log(max(value, 1e-6))) for n, value in points]
    mean_x = sum(x for x, _ in logs) / len(logs)
    mean_y = sum(y for _, y in logs) / len(logs)
    spread = sum((x - mean_x) ** 2 for x, _ in logs)
    return sum((x - mean_x) * (y - mean_y) for x, y in logs) / spread if spread else float("nan")


def print_scaling(title, firsts, name="first sync"):
    print("\n%s, %s per conduit size:" % (title, name))
    print("| records per conduit | CPU | peak | written |")
    print("|---|---|---|---|")
    for count, run in firsts:
        print("| %d | %.2f s | %.0f MB | %.1f MB |" % (count, run.cpu, run.peak_mb, run.written_mb))
    if len(firsts) > 1:
        print("fitted exponent: CPU %.2f, written %.2f, peak %.2f" % (
            fitted_exponent([(n, r.cpu) for n, r in firsts]),
            fitted_exponent([(n, r.written_mb) for n, r in firsts]),
            fitted_exponent([(n, r.peak_mb) for n, r in firsts])))


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--records", type=int, default=10000, help="contacts and events each")
    parser.add_argument("--scaling", default="2000,5000,10000", help="sizes of the scaling runs; empty: none")
    parser.add_argument("--data", choices=("realistic", "minimal"), default="realistic",
                        help="records shaped like real stores, or the minimal ones (unique names, no series)")
    parser.add_argument("--repeat", type=int, default=1, help="run the comparison this many times")
    parser.add_argument("--scaling-clients", choices=("both", "ours"), default="both",
                        help="who runs: ours measures our client alone, in the comparison too, and each of its "
                             "syncs at the scaling sizes; with realistic data, Radicale takes each file vdirsyncer "
                             "uploads in time growing with its collection, which makes large sizes take hours")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--stores", choices=("memory", "folders"), default=None,
                        help="our desktop side with --data minimal: the driver's memory store (the default), or "
                             "the vCard and iCalendar folders; realistic data always uses the folders")
    parser.add_argument("--settle", type=int, default=None,
                        help="seconds to wait on a flushed disk before each first sync (default 61)")
    arguments = parser.parse_args()
    if arguments.data == "realistic" and arguments.stores == "memory":
        parser.error("--data realistic puts files in the desktop folders: it needs --stores folders")
    arguments.stores = arguments.stores or ("folders" if arguments.data == "realistic" else "memory")
    return arguments


@contextlib.contextmanager
def work_folder(prefix, keep):
    """A folder for a run's files under $HM_BENCH_DIR (default /var/tmp), removed at the end unless kept."""
    root = tempfile.mkdtemp(prefix=prefix, dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    try:
        yield root
    finally:
        if keep:
            print("\nwork folder: %s" % root)
        else:
            shutil.rmtree(root, ignore_errors=True)


def load_text():
    """The machine's load averages: the figures of a run on a busy machine are noisier."""
    return "load average %s" % " ".join(open("/proc/loadavg").read().split()[:3])


def compare(arguments, root, count, first_only=False, theirs_too=True):
    """Both clients' runs at count records of each kind; theirs is None without vdirsyncer and Radicale."""
    items = Items.realistic(count) if arguments.data == "realistic" else None
    ours = run_ours(arguments.build, root, count, first_only, arguments.stores, items)
    theirs = run_theirs(root, count, first_only, items) if theirs_too and have_their_side() else None
    return ours, theirs


def print_all_scaling(arguments, root, known):
    """Both clients' first syncs at each size; our client alone: each of its syncs (first, no change,
    1 % changed)."""
    ours_only = arguments.scaling_clients == "ours"
    ours, theirs = {}, []
    for count in [int(size) for size in arguments.scaling.split(",") if size]:
        try:
            our_runs, their_runs = known.get(count) or compare(arguments, root, count, not ours_only, not ours_only)
        except SystemExit as failure:  # a client failed: the sizes measured so far still count
            print("at %d records: %s" % (count, failure))
            break
        for name, run in our_runs.items():
            ours.setdefault(name, []).append((count, run))
        if their_runs:
            theirs.append((count, their_runs["first sync"]))
    for name, runs in ours.items():
        print_scaling("Our client", runs, name)
    if theirs:
        print_scaling("vdirsyncer", theirs)


def main():
    arguments = parse_arguments()
    global SETTLE_SECONDS
    if arguments.settle is not None:
        SETTLE_SECONDS = arguments.settle
    with work_folder("hm-sync-comparison-", arguments.keep) as root:
        print("%s records; %s before" % (arguments.data, load_text()))
        for _ in range(arguments.repeat):
            ours, theirs = compare(arguments, root, arguments.records,
                                   theirs_too=arguments.scaling_clients == "both")
            print_comparison(arguments.records, ours, theirs)
            print(load_text())
        print_all_scaling(arguments, root, {arguments.records: (ours, theirs)})
        print(load_text())


if __name__ == "__main__":
    main()
