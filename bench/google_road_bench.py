#!/usr/bin/env python3
"""The Google road against the phone road: contacts and events both ways over the same simulated Outlook.

tools/hm-sync (hm_sync_once) syncs the simulated Outlook (outlook_peer), which holds N realistic contacts
and N realistic events, twice in the same run:
- the Google road: a Google-direct profile syncing contacts and the calendar with the Google peer
  (google_peer), which holds N contacts and N events of its own in its primary calendar;
- the phone road: the same Outlook with the phone peer (phone_peer), which holds the same N contacts
  and N events of its own.
Data (bench/realistic_data.py): names repeated as in a real address book, companies, e-mails, notes,
birthdays; meetings, all-day events and birthdays, 30 % series, a tenth of them with occurrences
deleted or moved. The other side's records come from another seed, less those the duplicate test would
rightly pair with an Outlook record (same names and company; same title and time of day), so that each
side must end with every record of both, once.

Each road syncs three times: the first sync (records both ways), a follow-up sync, then one with nothing
changed (the Google road's must send Google no write). Measured for the client alone: processor time
(user + system), wall time, peak resident memory and bytes written. --events 0 measures contacts only
(the contacts bench: 1,000, 2,000 and 4,000 each way). Several --records sizes give the exponent of a
power law fitted to the processor time (1 is linear). --repeat runs each size several times and keeps
the medians. Both roads log alike: the Google run's progress sheet lines are left out
(HM_SYNC_PROGRESS_LINES=0; set it to 1 to keep them). The Google peer keeps its connections open for further requests, as Google does;
--close-connections makes it close each one after its answer (a TLS handshake per request).

Needs a Release build with the targets hm_sync_once, google_peer, outlook_peer and phone_peer:
    cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-rel -j4 --target hm_sync_once google_peer outlook_peer phone_peer

Usage: bench/google_road_bench.py [--build build-rel] [--records 2000 5000 10000] [--events 1] [--repeat 1]
"""

import argparse
import datetime
import json
import os
import shutil
import statistics
import sys
import tempfile
import time
import zoneinfo
from xml.sax.saxutils import escape, quoteattr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realistic_data  # noqa: E402
import peer_processes  # noqa: E402
from outlook_contacts_bench import outlook_contact  # noqa: E402
from outlook_events_bench import OUTLOOK_FOLDERS, outlook_events  # noqa: E402
from outlook_events_bench import phone_records as phone_event_records  # noqa: E402
from run_tables import print_runs  # noqa: E402
from sync_comparison import DEVICE_ID, OurSide, Run, fitted_exponent, measure  # noqa: E402

EMAIL = "me@example.com"
SYNCS = ("first sync", "follow-up sync", "no-change sync")
GD = "http://schemas.google.com/g/2005#"


# ---- the data --------------------------------------------------------------------------------------


def other_side(count, events_count):
    """Outlook's records, then the phone's or Google's: another seed, less the contacts the duplicate test
    would pair with Outlook's, and events numbered apart from Outlook's as each side's are among
    themselves (an event starting with another of its title is rightly taken for the same)."""
    outlook_contacts = realistic_data.make_contacts(count)
    outlook_event_list = realistic_data.make_events(events_count)
    taken = {(c.first, c.last, c.company) for c in outlook_contacts}
    contacts = [c for c in realistic_data.make_contacts(count, seed=realistic_data.SEED + 7)
                if (c.first, c.last, c.company) not in taken]
    times = set()
    for event in outlook_event_list:
        realistic_data._keep_apart(event, times)
    events = realistic_data.make_events(events_count, seed=realistic_data.SEED + 7)
    for event in events:
        realistic_data._keep_apart(event, times)
    return outlook_contacts, outlook_event_list, contacts, events


def phone_records(contacts, events):
    phone_contacts = [{"uid": "A%06d" % (i + 1), "change": "add", "fields": realistic_data.phone_contact(c)}
                      for i, c in enumerate(contacts)]
    return {"A": phone_contacts, "D": phone_event_records(events)}


def google_contact(contact):
    """A contact as the Google peer keeps it: the entry's elements in Google's form."""
    full = "%s %s" % (contact.first, contact.last)
    body = "<gd:name><gd:givenName>%s</gd:givenName><gd:familyName>%s</gd:familyName><gd:fullName>%s</gd:fullName></gd:name>" % (
        escape(contact.first), escape(contact.last), escape(full))
    if contact.note:
        body += "<content>%s</content>" % escape(contact.note)
    if contact.email:
        body += "<gd:email rel='%shome' address=%s/>" % (GD, quoteattr(contact.email).replace('"', "'"))
    body += "<gd:phoneNumber rel='%smobile'>%s</gd:phoneNumber>" % (GD, escape(contact.phone))
    if contact.company:
        body += "<gd:organization rel='%swork'><gd:orgName>%s</gd:orgName></gd:organization>" % (GD, escape(contact.company))
    if contact.birthday:
        body += "<gContact:birthday when='%s'/>" % contact.birthday.strftime("%Y-%m-%d")
    body += ("<gContact:groupMembershipInfo deleted='false' "
             "href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/>")
    return {"body": body, "title": full, "etag": 1}


class Stamps:
    """Google's "updated" stamps: milliseconds, strictly increasing."""

    def __init__(self):
        self.moment = datetime.datetime(2026, 6, 1, tzinfo=datetime.timezone.utc)

    def next(self):
        self.moment += datetime.timedelta(milliseconds=3)
        return self.moment.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (self.moment.microsecond // 1000)


def google_when(event, moment):
    """A start or end as Google writes it: a day, or a time in the event's zone (a foreign one's in Berlin)."""
    if event.all_day:
        return {"date": moment.strftime("%Y-%m-%d")}
    if event.foreign:
        return {"dateTime": moment.astimezone(zoneinfo.ZoneInfo(realistic_data.FOREIGN_ZONE)).isoformat(),
                "timeZone": realistic_data.FOREIGN_ZONE}
    return {"dateTime": moment.strftime("%Y-%m-%dT%H:%M:%SZ"), "timeZone": "UTC"}


def google_events(event, stamps):
    """The event as Google lists it, then its cancelled and moved occurrences."""
    master = "g%07d" % event.index
    end = event.start + datetime.timedelta(minutes=event.minutes)
    item = {"kind": "calendar#event", "id": master, "status": "confirmed", "updated": stamps.next(),
            "summary": event.subject, "start": google_when(event, event.start), "end": google_when(event, end),
            "reminders": {"useDefault": not event.all_day}}
    if event.location:
        item["location"] = event.location
    items = [item]
    if not event.rule:
        return items
    frequency, interval, count = event.rule
    item["recurrence"] = ["RRULE:FREQ=%s" % frequency + (";INTERVAL=%d" % interval if interval > 1 else "")
                          + (";COUNT=%d" % count if count else "")]
    for original in event.deleted:
        items.append({"kind": "calendar#event", "id": "%s_%s" % (master, original.strftime("%Y%m%dT%H%M%SZ")),
                      "status": "cancelled", "updated": stamps.next(), "recurringEventId": master,
                      "originalStartTime": google_when(event, original)})
    for original, start in event.moved:
        items.append({"kind": "calendar#event", "id": "%s_%s" % (master, original.strftime("%Y%m%dT%H%M%SZ")),
                      "status": "confirmed", "updated": stamps.next(), "recurringEventId": master,
                      "originalStartTime": google_when(event, original), "summary": event.subject + " (moved)",
                      "start": google_when(event, start),
                      "end": google_when(event, start + datetime.timedelta(minutes=event.minutes)),
                      "reminders": {"useDefault": True}})
    return items


def google_state(contacts, events):
    stamps = Stamps()
    stored_contacts = {}
    for index, contact in enumerate(contacts):
        stored = google_contact(contact)
        stored["updated"] = stamps.next()
        stored_contacts["c%07d" % index] = stored
    stored_events = {}
    for event in events:
        for item in google_events(event, stamps):
            stored_events[item["id"]] = item
    account = {"refreshToken": "1//rt", "accessTokens": [], "contacts": stored_contacts,
               "events": {"primary": stored_events}}
    return {"accounts": {EMAIL: account}, "lastEventStamp": stamps.next()}


def outlook_seed(contacts, events):
    return {"folders": OUTLOOK_FOLDERS, "contacts": [outlook_contact(c, i) for i, c in enumerate(contacts)],
            "events": outlook_events(events)}


def event_records(events):
    """Each event or series once, and each moved occurrence (an event of its own on the phone)."""
    return len(events) + sum(len(event.moved) for event in events)


# ---- the two roads ---------------------------------------------------------------------------------


class Road(OurSide):
    """Our client with the simulated Outlook; the phone peer (phone road) or the Google peer."""

    def __init__(self, build, folder, count, events_count, google, keeps_connections=True):
        super().__init__(build, folder, count)
        self.google, self.events_count = google, events_count
        self.google_options = ("--keep-connections",) if keeps_connections else ()
        self.outlook = os.path.join(build, "tools", "peers", "outlook_peer")
        self.google_peer = os.path.join(build, "tools", "peers", "google_peer")
        for program in (self.outlook, self.google_peer):
            if not os.access(program, os.X_OK):
                sys.exit("%s is missing: build google_peer and outlook_peer first" % program)
        self.runtime = os.path.join(folder, "run")
        os.makedirs(self.runtime, mode=0o700)
        self.env.update(XDG_RUNTIME_DIR=self.runtime, HM_OUTLOOK_NO_PAUSE="1")
        self.env["XDG_STATE_HOME"] = os.path.join(self.env["HOME"], "xdg_state_home")
        self.env.pop("HM_SYNC_LOG_LEVEL", None)
        # Both roads log alike: the Google run's console sheet prints several progress lines a record,
        # the phone road none; writing them was the Google road's CPU. HM_SYNC_PROGRESS_LINES=1 in the
        # bench's environment keeps them.
        self.env.setdefault("HM_SYNC_PROGRESS_LINES", "0")
        self.outlook_process = self.google_process = None
        self.tokens = os.path.join(self.env["HOME"], "tokens")

    def start_outlook(self, contents):
        self.outlook_process = peer_processes.start_outlook(self.outlook, self.env, self.runtime, self.folder, contents,
                                                       self.log)
        self.outlook_send({"op": "switches", "listsOccurrences": True})

    def outlook_send(self, command):
        return peer_processes.send_to_outlook(self.outlook, self.env, self.runtime, command)

    def start_google(self, state):
        self.google_process = peer_processes.start_google(
            self.google_peer, self.env, self.folder, state, self.log, self.tokens,
            hosts=("HM_GOOGLE_API_HOST", "HM_GOOGLE_CONTACTS_HOST", "HM_GOOGLE_ACCOUNTS_HOST"),
            options=self.google_options)

    def google_control(self, path):
        return peer_processes.google_control(self.env, path)

    def sync(self):
        # Outlook's dates are whole seconds: the next sync starts in a later one.
        time.sleep(1.1)
        conduits = "contacts,calendar" if self.events_count else "contacts"
        if self.google:
            command = [self.client, "--create-google-profile", "--google-user", EMAIL, "--google-conduits", conduits,
                       "--google-tokens-file", self.tokens, "--timeout", "3600"]
            return measure(command, self.env, self.log)
        if self.process is None:
            self.start_peer()
        command = [self.client, "--port", str(self.port), "--store", self.store, "--logon-pause-ms", "0",
                   "--contacts-store", "outlook", "--calendar-store", "outlook" if self.events_count else "memory"]
        if self.first:
            command += ["--create-profile", "--phone-id", DEVICE_ID]
            self.first = False
        return measure(command, self.env, self.log)

    def google_writes(self):
        return [r for r in json.loads(self.google_control("peer/requests"))
                if r["method"] != "GET" and not r["path"].startswith("/oauth2")]

    def counts(self):
        """(contacts, event records) in Outlook and on the other side."""
        outlook = self.outlook_send({"op": "dump"})["state"]
        mine = (len(outlook.get("contacts", [])), len(outlook.get("events", [])))
        if self.google:
            account = json.loads(self.google_control("peer/dump"))["accounts"][EMAIL]
            contacts = sum(1 for c in account.get("contacts", {}).values() if not c.get("deleted"))
            events = sum(1 for e in account.get("events", {}).get("primary", {}).values() if e.get("status") != "cancelled")
            return mine, (contacts, events)
        conduits = self.read_phone()["conduits"]
        return mine, (len(conduits.get("A", [])), len(conduits.get("D", [])))

    def stop_all(self):
        self.stop()
        for process in (self.outlook_process, self.google_process):
            if process is not None:
                process.terminate()
                process.wait()


def run_road(build, root, data, google, keeps_connections=True):
    outlook_contacts, outlook_event_list, contacts, events = data
    name = "google" if google else "phone"
    road = Road(build, tempfile.mkdtemp(prefix="%s-%d-" % (name, len(outlook_contacts)), dir=root),
                len(outlook_contacts), len(outlook_event_list), google, keeps_connections)
    try:
        road.start_outlook(outlook_seed(outlook_contacts, outlook_event_list))
        if google:
            road.start_google(google_state(contacts, events))
        else:
            road.write_phone(phone_records(contacts, events))
        runs = {}
        for sync in SYNCS:
            if google and sync == "no-change sync":
                road.google_control("peer/clear-requests")
            runs[sync] = road.sync()
        if google and road.google_writes():
            sys.exit("google: the no-change sync sent %d writes (see %s)" % (len(road.google_writes()), road.log))
        expected = (len(outlook_contacts) + len(contacts), event_records(outlook_event_list) + event_records(events))
        mine, theirs = road.counts()
        # A record may rightly be paired with one of the other side's alike (same names and company, same
        # title and start): both sides then hold one record less. A record more is a double.
        if mine != theirs or any(held > want for held, want in zip(mine, expected)):
            sys.exit("%s: Outlook holds %s, the other side %s, not %s each (contacts, events; see %s)"
                     % (name, mine, theirs, expected, road.log))
        if mine != expected:
            print("%s: %s on each side of %s sent: %s paired by the duplicate test" % (
                name, mine, expected, tuple(want - held for held, want in zip(mine, expected))))
        return runs
    finally:
        road.stop_all()


def medians(rounds):
    """The median of each figure of each sync over the rounds."""
    return {sync: Run(*(statistics.median(getattr(r[sync], field) for r in rounds)
                        for field in ("cpu", "peak_mb", "written_mb", "wall"))) for sync in SYNCS}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-rel", help="the Release build folder")
    parser.add_argument("--records", type=int, nargs="+", default=[2000, 5000, 10000], help="contacts each way")
    parser.add_argument("--events", type=float, default=1.0, help="events each way per contact (0: contacts only)")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each size; the medians are shown")
    parser.add_argument("--close-connections", action="store_true",
                        help="the Google peer closes each connection after its answer")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (its logs) afterwards")
    arguments = parser.parse_args()
    root = tempfile.mkdtemp(prefix="hm-google-road-bench-", dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    results = []
    try:
        for count in arguments.records:
            data = other_side(count, int(count * arguments.events))
            google_rounds, phone_rounds = [], []
            for _ in range(arguments.repeat):
                google_rounds.append(run_road(arguments.build, root, data, True, not arguments.close_connections))
                phone_rounds.append(run_road(arguments.build, root, data, False))
            google, phone = medians(google_rounds), medians(phone_rounds)
            print("\n%d contacts and %d events in Outlook, %d contacts and %d events on the other side (%d runs, medians)"
                  % (count, len(data[1]), len(data[2]), len(data[3]), arguments.repeat))
            print_runs((("google road", google), ("phone road", phone)))
            print("google / phone:")
            for sync in SYNCS:
                print("  %s: CPU %.2f, peak %.2f, wall %.2f" % (sync, google[sync].cpu / phone[sync].cpu,
                      google[sync].peak_mb / phone[sync].peak_mb, google[sync].wall / phone[sync].wall))
            sys.stdout.flush()
            results.append((count, google, phone))
    finally:
        if not arguments.keep:
            shutil.rmtree(root, ignore_errors=True)
    if len(results) > 1:
        print("\nfitted exponent of CPU (google road, phone road):")
        for sync in SYNCS:
            print("  %s: %.2f, %.2f" % (sync, fitted_exponent([(count, g[sync].cpu) for count, g, _ in results]),
                                        fitted_exponent([(count, p[sync].cpu) for count, _, p in results])))


if __name__ == "__main__":
    main()
