#!/usr/bin/env python3
"""Outlook's contacts synced with a phone, against the same contacts in a vCard folder, same run.

tools/hm-sync (hm_sync_once) syncs N realistic contacts with the phone peer (phone_peer): once with the
simulated Outlook (outlook_peer, --contacts-store outlook), once with the address book's vCard folder
(--contacts-store vcard). With --each-way the phone starts with N contacts of its own, which the first
sync writes to the desktop (Outlook: one vCard import each), otherwise it starts empty. Each side syncs
twice: the first sync, then a sync with nothing changed. Several --records sizes give the exponent of
a power law fitted to CPU and bytes written (1 is linear). Measured for the client alone: processor time (user + system), wall time, peak
resident memory and bytes written; and, for the Outlook side, the size of the contact map, whose
commit must cost one write, not one per contact.

Needs a Release build with the targets hm_sync_once, phone_peer and outlook_peer:
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-release -j4 --target hm_sync_once phone_peer outlook_peer

Usage: bench/outlook_contacts_bench.py [--build build-release] [--records 5000 ...] [--each-way]
"""

import argparse
import glob
import math
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_processes  # noqa: E402
from realistic_data import make_contacts, vcard  # noqa: E402
from sync_comparison import DEVICE_ID, OurSide, measure, phone_contact  # noqa: E402


def outlook_contact(contact, index):
    """The simulated Outlook's fields of a contact."""
    fields = {"id": 1000 + index, "folder": 1, "created": "2026-01-01T00:00:00Z", "modified": "2026-01-02T00:00:00Z",
              "firstName": contact.first, "lastName": contact.last,
              "phones": [{"kind": "cell", "number": contact.phone}]}
    if contact.email:
        fields["emails"] = [{"kind": "work", "address": contact.email}]
    if contact.company:
        fields["company"] = contact.company
    if contact.note:
        fields["note"] = contact.note
    if contact.birthday:
        fields["birthday"] = contact.birthday.strftime("%Y-%m-%d")
    return fields


class Side(OurSide):
    """Our client with the contacts in Outlook or in a vCard folder; the phone empty."""

    def __init__(self, build, folder, count, store, each_way):
        super().__init__(build, folder, count)
        self.store_name = store
        self.each_way = each_way
        # The pause after each contact added to Outlook costs wall time, not processor time.
        self.env["HM_OUTLOOK_NO_PAUSE"] = "1"
        self.outlook = os.path.join(build, "tools", "peers", "outlook_peer")
        self.contacts = os.path.join(folder, "contacts")
        self.runtime = os.path.join(folder, "run")
        self.outlook_process = None

    def prepare(self):
        phone = [{"uid": "A%06d" % (i + 1), "change": "add", "fields": phone_contact(i)} for i in range(self.count)]
        self.write_phone({"A": phone} if self.each_way else {})
        contacts = make_contacts(self.count)
        if self.store_name == "vcard":
            os.makedirs(self.contacts)
            for contact in contacts:
                with open(os.path.join(self.contacts, "c%06d.vcf" % contact.index), "w") as file:
                    file.write(vcard(contact))
            return
        os.makedirs(self.runtime, mode=0o700)
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        self.outlook_process = peer_processes.start_outlook(
            self.outlook, self.env, self.runtime, self.folder,
            {"contacts": [outlook_contact(contact, i) for i, contact in enumerate(contacts)]}, self.log, date_pattern=None)

    def sync(self):
        if self.process is None:
            self.start_peer()
        command = [self.client, "--port", str(self.port), "--store", self.store, "--logon-pause-ms", "0",
                   "--calendar-store", "memory", "--contacts-store", self.store_name]
        if self.store_name == "vcard":
            command += ["--contacts-folder", self.contacts]
        if self.first:
            command += ["--create-profile", "--phone-id", DEVICE_ID]
            self.first = False
        # Outlook's dates are whole seconds: the second sync starts in a later one.
        time.sleep(1.1)
        return measure(command, self.env, self.log)

    def phone_count(self):
        return len(self.read_phone()["conduits"].get("A", []))

    def map_bytes(self):
        found = glob.glob(os.path.join(self.env["XDG_DATA_HOME"], "*", "contacts-outlook.plist"))
        return os.path.getsize(found[0]) if found else 0

    def stop_all(self):
        self.stop()
        if self.outlook_process is not None:
            self.outlook_process.terminate()
            self.outlook_process.wait()


def run(build, root, count, store, each_way):
    side = Side(build, tempfile.mkdtemp(prefix="%s-%d-" % (store, count), dir=root), count, store, each_way)
    try:
        side.prepare()
        runs = {"first sync": side.sync(), "no-change sync": side.sync()}
        expected = 2 * count if each_way else count
        if side.phone_count() != expected:
            sys.exit("%s: the phone holds %d contacts, not %d (see %s)" % (store, side.phone_count(), expected, side.log))
        return runs, side.map_bytes()
    finally:
        side.stop_all()


def exponent(sizes, values):
    """The slope of log(value) over log(size): the exponent of the power law through the points."""
    points = [(math.log(size), math.log(max(value, 1e-6))) for size, value in zip(sizes, values)]
    mean_x = sum(x for x, _ in points) / len(points)
    mean_y = sum(y for _, y in points) / len(points)
    return sum((x - mean_x) * (y - mean_y) for x, y in points) / max(sum((x - mean_x) ** 2 for x, _ in points), 1e-12)


def report(count, outlook, folder, map_bytes):
    print("\n| %d contacts | store | CPU | wall | peak | written |" % count)
    print("|---|---|---|---|---|---|")
    for store, runs in (("outlook", outlook), ("vcard", folder)):
        for name, outcome in runs.items():
            print("| %s | %s | %.2f s | %.2f s | %.0f MB | %.1f MB |" % (name, store, outcome.cpu, outcome.wall,
                                                                       outcome.peak_mb, outcome.written_mb))
    print("\ncontact map: %d bytes (%.0f per contact)" % (map_bytes, map_bytes / max(count, 1)))
    print("outlook / vcard:")
    for name in outlook:
        ours, theirs = outlook[name], folder[name]
        print("  %s: CPU %.2f, wall %.2f, peak %.2f" % (name, ours.cpu / max(theirs.cpu, 1e-3),
              ours.wall / max(theirs.wall, 1e-3), ours.peak_mb / max(theirs.peak_mb, 1e-3)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--records", type=int, nargs="+", default=[5000], help="contacts on each side")
    parser.add_argument("--each-way", action="store_true", help="the phone starts with as many contacts")
    arguments = parser.parse_args()
    root = tempfile.mkdtemp(prefix="hm-outlook-bench-", dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    results = []
    try:
        for count in arguments.records:
            outlook, map_bytes = run(arguments.build, root, count, "outlook", arguments.each_way)
            folder, _ = run(arguments.build, root, count, "vcard", arguments.each_way)
            report(count, outlook, folder, map_bytes)
            results.append((count, outlook))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    if len(results) > 1:
        sizes = [count for count, _ in results]
        print("\nfitted exponent (outlook):")
        for name in results[0][1]:
            print("  %s: CPU %.2f, written %.2f" % (name, exponent(sizes, [runs[name].cpu for _, runs in results]),
                  exponent(sizes, [runs[name].written_mb for _, runs in results])))


if __name__ == "__main__":
    main()
