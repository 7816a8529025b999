#!/usr/bin/env python3
"""Outlook's contacts to an empty phone, against the same contacts from a vCard folder, same run.

tools/hm-sync (hm_sync_once) sends N realistic contacts to the phone peer (phone_peer), which starts
empty: once from the simulated Outlook (outlook_peer, --contacts-store outlook), once from the address
book's vCard folder (--contacts-store vcard). Each side syncs twice: the first sync, then a sync with
nothing changed. Measured for the client alone: processor time (user + system), wall time, peak
resident memory and bytes written; and, for the Outlook side, the size of the contact map, whose
commit must cost one write, not one per contact.

Needs a Release build with the targets hm_sync_once, phone_peer and outlook_peer:
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-release -j4 --target hm_sync_once phone_peer outlook_peer

Usage: bench/outlook_contacts_bench.py [--build build-release] [--records 5000]
"""

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from realistic_data import make_contacts, vcard  # noqa: E402
from sync_comparison import DEVICE_ID, OurSide, measure  # noqa: E402


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

    def __init__(self, build, folder, count, store):
        super().__init__(build, folder, count)
        self.store_name = store
        self.outlook = os.path.join(build, "tools", "peers", "outlook_peer")
        self.contacts = os.path.join(folder, "contacts")
        self.runtime = os.path.join(folder, "run")
        self.outlook_process = None

    def prepare(self):
        self.write_phone({})
        contacts = make_contacts(self.count)
        if self.store_name == "vcard":
            os.makedirs(self.contacts)
            for contact in contacts:
                with open(os.path.join(self.contacts, "c%06d.vcf" % contact.index), "w") as file:
                    file.write(vcard(contact))
            return
        os.makedirs(self.runtime, mode=0o700)
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        seed = os.path.join(self.folder, "outlook-seed.json")
        with open(seed, "w") as file:
            json.dump({"contacts": [outlook_contact(contact, i) for i, contact in enumerate(contacts)]}, file)
        log = open(self.log, "ab")
        self.outlook_process = subprocess.Popen([self.outlook, "--home", self.env["HOME"], "--runtime-dir", self.runtime,
                                                 "--seed", seed], env=self.env, stdout=subprocess.PIPE, stderr=log)
        if not self.outlook_process.stdout.readline().startswith(b"READY"):
            sys.exit("outlook_peer did not start")

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
        self.stop()
        with open(self.data) as file:
            return len(json.load(file).get("conduits", {}).get("A", []))

    def map_bytes(self):
        found = glob.glob(os.path.join(self.env["XDG_DATA_HOME"], "*", "contacts-outlook.plist"))
        return os.path.getsize(found[0]) if found else 0

    def stop_all(self):
        self.stop()
        if self.outlook_process is not None:
            self.outlook_process.terminate()
            self.outlook_process.wait()


def run(build, root, count, store):
    side = Side(build, tempfile.mkdtemp(prefix="%s-%d-" % (store, count), dir=root), count, store)
    try:
        side.prepare()
        runs = {"first sync": side.sync(), "no-change sync": side.sync()}
        if side.phone_count() != count:
            sys.exit("%s: the phone holds %d contacts, not %d (see %s)" % (store, side.phone_count(), count, side.log))
        return runs, side.map_bytes()
    finally:
        side.stop_all()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--records", type=int, default=5000, help="contacts to send")
    arguments = parser.parse_args()
    root = tempfile.mkdtemp(prefix="hm-outlook-bench-", dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    try:
        outlook, map_bytes = run(arguments.build, root, arguments.records, "outlook")
        folder, _ = run(arguments.build, root, arguments.records, "vcard")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("\n| %d contacts | store | CPU | wall | peak | written |" % arguments.records)
    print("|---|---|---|---|---|---|")
    for store, runs in (("outlook", outlook), ("vcard", folder)):
        for name, outcome in runs.items():
            print("| %s | %s | %.2f s | %.2f s | %.0f MB | %.1f MB |" % (name, store, outcome.cpu, outcome.wall,
                                                                       outcome.peak_mb, outcome.written_mb))
    print("\ncontact map: %d bytes (%.0f per contact)" % (map_bytes, map_bytes / max(arguments.records, 1)))
    print("outlook / vcard:")
    for name in outlook:
        ours, theirs = outlook[name], folder[name]
        print("  %s: CPU %.2f, wall %.2f, peak %.2f" % (name, ours.cpu / max(theirs.cpu, 1e-3),
              ours.wall / max(theirs.wall, 1e-3), ours.peak_mb / max(theirs.peak_mb, 1e-3)))


if __name__ == "__main__":
    main()
