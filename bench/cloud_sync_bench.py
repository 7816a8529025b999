#!/usr/bin/env python3
"""The cloud road against the phone road, over the same folder stores, in one run.

Our client (tools/hm-sync, hm_sync_once) syncs the vCard folder and an iCalendar folder once with the
cloud peer (cloud_peer, over HTTPS with a certificate of its own) and once with the phone peer
(phone_peer), on the same records shaped like real users' stores (bench/realistic_data.py). For each
road the script measures the client alone: processor time (user + system), peak resident memory and
bytes written, for

- "folders to peer": a first sync of N contacts and N events from the folders into an empty peer;
- "no-change sync": the next sync, with nothing changed on either side;
- "peer to folders": a first sync from a peer holding the N and N into empty folders. The phone peer
  holds them as the phone lists them; the cloud peer holds what the first case uploaded, which a new
  desktop (a home of its own, so another device) lists in full.

It prints the cloud road's figures as a ratio of the phone road's, then the cloud road's first syncs
at several sizes with the exponent of a power-law fit (1.0 is linear).

Needs a Release build with the targets hm_sync_once, phone_peer and cloud_peer:
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-release -j4 --target hm_sync_once phone_peer cloud_peer
and GNU time (apt-get install time).

Usage: bench/cloud_sync_bench.py [--build build-release] [--records 5000] [--scaling 2000,5000,10000]
                                 [--settle 0] [--keep] [--close-connections]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realistic_data  # noqa: E402
import sync_comparison as common  # noqa: E402

USER, PASSWORD = "bench@example.org", "bench-secret"
# Whether the cloud peer answers one request per connection (--close-connections).
CLOSE_CONNECTIONS = False


def settle(seconds):
    os.sync()
    time.sleep(seconds)


class Home:
    """A desktop: a home folder (the driver's data), the vCard folder and the calendars folder."""

    def __init__(self, root, name):
        self.folder = os.path.join(root, name)
        self.contacts = os.path.join(self.folder, "contacts")
        self.calendars = os.path.join(self.folder, "calendars")
        self.log = os.path.join(self.folder, "log.txt")
        for folder in (self.contacts, os.path.join(self.calendars, "home")):
            os.makedirs(folder)
        self.env = dict(os.environ, HOME=os.path.join(self.folder, "home"), TZ="UTC", LANG="C.UTF-8")
        for variable in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"):
            self.env[variable] = os.path.join(self.folder, "home", variable.lower())
        os.makedirs(self.env["HOME"])

    def fill(self, items):
        items.write_desktop_files(self.contacts, os.path.join(self.calendars, "home"))
        self.filled = [len(items.desktop_contacts), len(items.desktop_events)]

    def counts(self):
        """Contacts and events after the last sync, as the driver printed them."""
        with open(self.log, errors="replace") as file:
            output = file.read()
        counts = []
        for name in ("Contacts", "Calendar"):
            found = [line for line in output.splitlines() if "desktop store, %s:" % name in line]
            counts.append(int(found[-1].split(":")[1].split()[0]) if found else 0)
        return counts


# ---- the phone road ----------------------------------------------------------------------------


class PhoneRoad:
    name = "phone"

    def __init__(self, build):
        self.build = build
        self.client = os.path.join(build, "tools", "hm-sync", "hm_sync_once")

    def first_and_no_change(self, root, items):
        """From the folders into an empty phone, then a sync with nothing changed."""
        side = common.ShapedOurSide(self.build, tempfile.mkdtemp(prefix="phone-up-", dir=root),
                                    common.Items(desktop_contacts=items.desktop_contacts,
                                                 desktop_events=items.desktop_events))
        return self._runs(side, ("folders to peer", "no-change sync"))

    def from_peer(self, root, items):
        side = common.ShapedOurSide(self.build, tempfile.mkdtemp(prefix="phone-down-", dir=root),
                                    common.Items(server_contacts=items.desktop_contacts,
                                                 server_events=items.desktop_events))
        return self._runs(side, ("peer to folders",))

    def _runs(self, side, names):
        try:
            side.prepare()
            settle(SETTLE)
            runs = {}
            for name in names:
                runs[name] = side.sync()
                if side.record_counts() != side.expected_counts():
                    sys.exit("phone road, %s: %s records, not %s" % (name, side.record_counts(), side.expected_counts()))
            return runs
        finally:
            side.stop()


# ---- the cloud road ----------------------------------------------------------------------------


class CloudPeer:
    def __init__(self, build, folder, state):
        self.program = os.path.join(build, "tools", "peers", "cloud_peer")
        self.folder, self.state = folder, state
        self.process = None

    def start(self, log):
        command = [self.program, "--certificates", os.path.join(self.folder, "certificates"), "--state", self.state]
        if CLOSE_CONNECTIONS:
            command.append("--close-connections")
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=open(log, "ab"))
        line = self.process.stdout.readline().decode()
        values = dict(part.split("=", 1) for part in line.split())
        self.https_port, self.http_port, self.ca = int(values["https-port"]), int(values["http-port"]), values["ca"]
        self.control("/peer/account", {"Username": USER, "Password": PASSWORD})

    def control(self, path, body):
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.http_port, path),
                                         data=json.dumps(body).encode(), headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=600) as reply:
            return json.load(reply)

    def live_count(self, table):
        records = self.control("/peer/records", {"Username": USER, "Table": table})["records"]
        return sum(1 for record in records if str(record.get("Deleted")) != "1")

    def stop(self):
        common.stop(self.process)


class CloudRoad:
    name = "cloud"

    def __init__(self, build):
        self.build = build
        self.client = os.path.join(build, "tools", "hm-sync", "hm_sync_once")

    def sync(self, home, peer):
        password = os.path.join(home.folder, "password")
        with open(password, "w") as file:
            file.write(PASSWORD + "\n")
        os.chmod(password, 0o600)
        env = dict(home.env, HM_QUILLNEST_HOST="127.0.0.1:%d" % peer.https_port, HM_TLS_CA_FILE=peer.ca)
        command = [self.client, "--create-cloud-profile", "--cloud-user", USER, "--cloud-password-file", password,
                   "--cloud-conduits", "contacts,calendar", "--contacts-folder", home.contacts,
                   "--calendars-folder", home.calendars, "--timeout", "3600"]
        return common.measure(command, env, home.log)

    def first_and_no_change(self, root, items):
        folder = tempfile.mkdtemp(prefix="cloud-up-", dir=root)
        self.state = os.path.join(folder, "peer-state.json")
        desktop = common.Items(desktop_contacts=items.desktop_contacts, desktop_events=items.desktop_events)
        return self._with_peer(folder, self.state, desktop, self._up)

    def _up(self, home, peer):
        runs = {"folders to peer": self.sync(home, peer)}
        self.uploaded = [peer.live_count("Contacts"), peer.live_count("Calendar")]
        if self.uploaded[0] != home.filled[0] or home.counts()[0] != home.filled[0]:
            sys.exit("cloud road, first sync: %s on the peer, %s on the desktop" % (self.uploaded, home.counts()))
        runs["no-change sync"] = self.sync(home, peer)
        return runs

    def from_peer(self, root, items):
        """A new desktop's first sync from the peer the first case filled."""
        folder = tempfile.mkdtemp(prefix="cloud-down-", dir=root)
        state = os.path.join(folder, "peer-state.json")
        for suffix in ("", ".journal"):
            if os.path.exists(self.state + suffix):
                shutil.copy(self.state + suffix, state + suffix)
        return self._with_peer(folder, state, common.Items(), self._down)

    def _down(self, home, peer):
        runs = {"peer to folders": self.sync(home, peer)}
        if home.counts() != self.uploaded:
            sys.exit("cloud road, first sync from the peer: %s on the desktop, %s on the peer"
                     % (home.counts(), self.uploaded))
        return runs

    def _with_peer(self, folder, state, items, body):
        """A desktop holding the items and a cloud peer on the state; body(home, peer) runs the syncs."""
        home = Home(folder, "desktop")
        home.fill(items)
        peer = CloudPeer(self.build, folder, state)
        try:
            peer.start(home.log)
            settle(SETTLE)
            return body(home, peer)
        finally:
            peer.stop()


# ---- the runs and the tables -------------------------------------------------------------------


def all_runs(road, root, items):
    runs = road.first_and_no_change(root, items)
    runs.update(road.from_peer(root, items))
    return runs


def print_ratios(count, cloud, phone):
    print("\n| %d + %d | cloud CPU | phone CPU | CPU ratio | cloud peak | phone peak | peak ratio | cloud wrote "
          "| phone wrote | cloud wall |" % (count, count))
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name in ("folders to peer", "peer to folders", "no-change sync"):
        ours, theirs = cloud[name], phone[name]
        print("| %s | %.2f s | %.2f s | %s | %.0f MB | %.0f MB | %s | %.1f MB | %.1f MB | %.1f s |" % (
            name, ours.cpu, theirs.cpu, common.ratio(ours.cpu, theirs.cpu), ours.peak_mb, theirs.peak_mb,
            common.ratio(ours.peak_mb, theirs.peak_mb), ours.written_mb, theirs.written_mb, ours.wall))


def print_scaling(sizes):
    for name in ("folders to peer", "peer to folders"):
        firsts = [(count, runs[name]) for count, runs in sizes]
        common.print_scaling("The cloud road, %s" % name, firsts)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--records", type=int, default=5000, help="contacts and events each")
    parser.add_argument("--scaling", default="2000,5000,10000", help="sizes of the scaling runs; empty: none")
    parser.add_argument("--settle", type=int, default=0, help="seconds to wait on a flushed disk before first syncs")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--close-connections", action="store_true",
                        help="the cloud peer answers one request per connection (no connection reuse)")
    return parser.parse_args()


SETTLE = 0


def main():
    global SETTLE, CLOSE_CONNECTIONS
    arguments = parse_arguments()
    SETTLE = arguments.settle
    CLOSE_CONNECTIONS = arguments.close_connections
    for program in ("tools/hm-sync/hm_sync_once", "tools/peers/phone_peer", "tools/peers/cloud_peer"):
        if not os.access(os.path.join(arguments.build, program), os.X_OK):
            sys.exit("%s is missing in %s" % (program, arguments.build))
    with common.work_folder("hm-cloud-bench-", arguments.keep) as root:
        print("%s" % common.load_text())
        items = common.Items(desktop_contacts=realistic_data.make_contacts(arguments.records),
                             desktop_events=realistic_data.make_events(arguments.records))
        cloud = all_runs(CloudRoad(arguments.build), root, items)
        phone = all_runs(PhoneRoad(arguments.build), root, items)
        print_ratios(arguments.records, cloud, phone)
        sizes = []
        for count in [int(size) for size in arguments.scaling.split(",") if size]:
            if count == arguments.records:
                sizes.append((count, cloud))
                continue
            scaled = common.Items(desktop_contacts=realistic_data.make_contacts(count),
                                  desktop_events=realistic_data.make_events(count))
            sizes.append((count, all_runs(CloudRoad(arguments.build), root, scaled)))
        if sizes:
            print_scaling(sizes)
        print(common.load_text())


if __name__ == "__main__":
    main()
