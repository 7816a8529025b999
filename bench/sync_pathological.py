#!/usr/bin/env python3
"""The stores that break a sync that is fast on ordinary ones, ours against vdirsyncer with Radicale.

Each case is measured as bench/sync_comparison.py measures (each client's processor time, peak memory
and bytes written, the same records on both sides) for a first sync and a sync with no change, at
sizes from a tenth of its full size to the full size, with the exponent of a power-law fit of each
figure (1.0 is linear):
- contacts: 50,000 contacts shaped like a real address book (repeated names, shared companies), on the
  server side (the phone; Radicale: a server takes uploads in time growing with its collection);
- photos: 1,000 contacts each with a 100 KB photo, all as files in the desktop folders;
- series-phone: 2,000 daily series with 200 deleted occurrences each, on the server side;
- series-desktop: 2,000 daily series with 200 moved occurrences each (RECURRENCE-ID overrides in the
  series' file), as files in the desktop folders;
- foreign-series: 10,000 open-ended series written as other programs write them (each file with its own
  VTIMEZONE, DURATION, X- properties), as files in the desktop folders: the no-change sync of a calendar
  that is all series.
A run that does not end within --timeout seconds is reported as such and stops the case's larger sizes.

Needs what bench/sync_comparison.py needs (a Release build with hm_sync_once and phone_peer; vdirsyncer,
Radicale and GNU time).

Usage: bench/sync_pathological.py [--build build-release] [--cases contacts,photos,series-phone,series-desktop]
                                  [--sizes 0.1,0.3,1] [--timeout 1800] [--settle 61] [--clients both|ours]
"""

import argparse
import datetime
import os
import random
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realistic_data  # noqa: E402
import sync_comparison  # noqa: E402
from sync_comparison import Items, ShapedOurSide, ShapedTheirSide  # noqa: E402

PHOTO_BYTES = 100 * 1024
EXCEPTIONS_PER_SERIES = 200


def photo(rng):
    """A picture's bytes: a JPEG header, then noise that no compression shrinks, as a photo's data."""
    return b"\xff\xd8\xff\xe0\x00\x10JFIF\x00" + rng.randbytes(PHOTO_BYTES - 16) + b"\xff\xd9\x00\x00"


def series_with_exceptions(count, moved):
    """count daily series from today, each with EXCEPTIONS_PER_SERIES occurrences of its first 300
    deleted (moved is False) or moved an hour on (moved is True)."""
    rng = random.Random(realistic_data.SEED)
    today = datetime.date.today()
    events = []
    for index in range(count):
        start = datetime.datetime(today.year, today.month, today.day, 7 + index % 12, 15 * (index % 4),
                                  tzinfo=datetime.timezone.utc)
        event = realistic_data.Event(index, "Daily check %d" % index, "Room %d" % (index % 40), start, 30, False)
        event.foreign = False
        event.rule = ("DAILY", 1, 400)
        for occurrence in sorted(rng.sample(event.occurrences(300)[1:], EXCEPTIONS_PER_SERIES)):
            if moved:
                event.moved.append((occurrence, occurrence + datetime.timedelta(hours=1)))
            else:
                event.deleted.append(occurrence)
        events.append(event)
    return events


def foreign_series(count):
    """count series without an end, each in a file written as another program writes it, with a time
    zone of its own; every title unique."""
    rng = random.Random(realistic_data.SEED)
    today = datetime.date.today()
    events = []
    for index in range(count):
        day = today + datetime.timedelta(days=rng.randint(-30, 30))
        start = datetime.datetime(day.year, day.month, min(day.day, 28), 7 + index % 12, 15 * (index % 4),
                                  tzinfo=datetime.timezone.utc)
        event = realistic_data.Event(index, "Review %d" % index, rng.choice(["Room 4", "Online", ""]), start, 60, False)
        event.foreign = True
        event.rule = (rng.choice(["DAILY", "WEEKLY", "WEEKLY", "MONTHLY"]), 1, None)
        events.append(event)
    return events


def contacts_case(count):
    return Items(server_contacts=realistic_data.make_contacts(count))


def photos_case(count):
    rng = random.Random(realistic_data.SEED)
    contacts = realistic_data.make_contacts(count)
    for contact in contacts:
        contact.photo = photo(rng)
    return Items(desktop_contacts=contacts)


CASES = {
    "contacts": (50000, contacts_case),
    "photos": (1000, photos_case),
    "series-phone": (2000, lambda count: Items(server_events=series_with_exceptions(count, moved=False))),
    "series-desktop": (2000, lambda count: Items(desktop_events=series_with_exceptions(count, moved=True))),
    "foreign-series": (10000, lambda count: Items(desktop_events=foreign_series(count))),
}


class Unfinished(Exception):
    pass


def timed_measure(timeout):
    """sync_comparison.measure, stopped after timeout seconds."""
    original = sync_comparison.measure

    def measure(command, env, log_path):
        if command[0] == "vdirsyncer":
            return original(["timeout", "--signal=KILL", str(timeout)] + command, env, log_path)
        return original(command + ["--timeout", str(timeout)], env, log_path)

    return measure


def first_and_no_change(side):
    """The first sync and a sync with no change; Unfinished when one fails or runs out of time."""
    try:
        side.prepare()
        sync_comparison.settle_disk()
        runs = {"first sync": side.sync()}
        if side.record_counts() != side.expected_counts():
            raise Unfinished("the first sync left %s records, not %s" % (side.record_counts(), side.expected_counts()))
        runs["no-change sync"] = sync_comparison.flushed_sync(side)
        return runs
    except SystemExit as failure:  # measure() ends the script when a client fails
        raise Unfinished(str(failure)) from None
    finally:
        side.stop()


def run_case(arguments, root, name):
    full, make = CASES[name]
    print("\n## %s (full size %d)" % (name, full), flush=True)
    results = {"ours": [], "vdirsyncer": [] if arguments.clients == "both" else None}
    for size in sorted({max(1, int(round(full * float(share)))) for share in arguments.sizes.split(",")}):
        items = make(size)
        for who, side in (("ours", lambda: ShapedOurSide(arguments.build, tempfile.mkdtemp(prefix="ours-", dir=root),
                                                         items)),
                          ("vdirsyncer", lambda: ShapedTheirSide(tempfile.mkdtemp(prefix="theirs-", dir=root), items))):
            if results[who] is None:
                continue
            side = side()
            try:
                results[who].append((size, first_and_no_change(side)))
            except Unfinished as failure:
                print("%s at %d: did not finish (%s); %s" % (who, size, failure, sync_comparison.load_text()))
                results[who] = None
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(root)
        print_size(size, results)
    for who in ("ours", "vdirsyncer"):
        if results[who] and len(results[who]) > 1:
            print_exponents(who, results[who])


def print_size(size, results):
    ours = dict(results["ours"] or []).get(size)
    theirs = dict(results["vdirsyncer"] or []).get(size)
    if ours:
        sync_comparison.print_comparison(size, ours, theirs)
    elif theirs:
        for name, run in theirs.items():
            print("vdirsyncer at %d, %s: %.2f s CPU, %.0f MB peak, %.1f MB written" % (
                size, name, run.cpu, run.peak_mb, run.written_mb))
    print(sync_comparison.load_text(), flush=True)


def print_exponents(who, runs):
    for name in ("first sync", "no-change sync"):
        points = [(size, result[name]) for size, result in runs]
        print("%s, %s: fitted exponent CPU %.2f, written %.2f, peak %.2f" % (
            who, name, sync_comparison.fitted_exponent([(n, r.cpu) for n, r in points]),
            sync_comparison.fitted_exponent([(n, r.written_mb) for n, r in points]),
            sync_comparison.fitted_exponent([(n, r.peak_mb) for n, r in points])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--cases", default=",".join(CASES), help="the cases to run, of: %s" % ", ".join(CASES))
    parser.add_argument("--sizes", default="0.1,0.3,1", help="the sizes to run, as shares of each case's full size")
    parser.add_argument("--timeout", type=int, default=1800, help="seconds one sync may take")
    parser.add_argument("--clients", choices=("both", "ours"), default="both",
                        help="who runs: both clients, or our client alone (no vdirsyncer nor Radicale needed)")
    parser.add_argument("--settle", type=int, default=None,
                        help="seconds to wait on a flushed disk before each first sync (default 61)")
    arguments = parser.parse_args()
    unknown = set(arguments.cases.split(",")) - set(CASES)
    if unknown:
        parser.error("unknown cases: %s" % ", ".join(sorted(unknown)))
    if arguments.settle is not None:
        sync_comparison.SETTLE_SECONDS = arguments.settle
    if arguments.clients == "both" and not sync_comparison.have_their_side():
        sys.exit("vdirsyncer and Radicale are needed")
    sync_comparison.measure = timed_measure(arguments.timeout)
    root = tempfile.mkdtemp(prefix="hm-sync-pathological-", dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    try:
        print(sync_comparison.load_text())
        for name in arguments.cases.split(","):
            run_case(arguments, root, name)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
