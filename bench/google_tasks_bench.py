#!/usr/bin/env python3
"""Google tasks both ways: N tasks in the simulated Outlook and N on the Google peer, a first sync and one
with nothing changed.

tools/hm-sync (hm_sync_once) runs a Google-direct profile syncing tasks only between the simulated Outlook
(outlook_peer) and the Google peer (google_peer), both programs of their own. Outlook holds N realistic tasks
(bench/realistic_data.py: repeated titles, due dates, a quarter completed, notes of several lines,
categories); Google holds N more in its default list and in "Work", "Home" and "Personal" (titles numbered,
so that the duplicate test of the apply pairs none of them with an Outlook task). The first sync must end
with all 2N tasks once on each side; the second must send Google nothing. Measured for the client alone:
processor time (user + system), wall time, peak resident memory and bytes written. Several --records
sizes give the exponent of a power law fitted to the processor time (1 is linear).

Needs a Release build with the targets hm_sync_once, google_peer and outlook_peer:
    cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DHM_SANITIZE=OFF
    cmake --build build-release -j4 --target hm_sync_once google_peer outlook_peer

Usage: bench/google_tasks_bench.py [--build build-release] [--records 500 1000 2000] [--keep]
"""

import argparse
import datetime
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import realistic_data  # noqa: E402
import peer_processes  # noqa: E402
from outlook_events_bench import OUTLOOK_FOLDERS  # noqa: E402
from run_tables import print_runs  # noqa: E402
from sync_comparison import fitted_exponent, measure  # noqa: E402

EMAIL = "me@example.com"
LISTS = [("MDAwMTIzNDU2Nzg5OjA6MA", "My Tasks"), ("TLwork", "Work"), ("TLhome", "Home"), ("TLpersonal", "Personal")]
CATEGORIES = ["Work", "Home", "Personal", "Family", "Urgent"]
PRIORITIES = {"1": "high", "2": "normal", "3": "low"}


def outlook_tasks(tasks):
    """The simulated Outlook's records of the phone-shaped tasks."""
    records = []
    for index, fields in enumerate(tasks):
        record = {"id": 1000 + index, "folder": 3, "created": "2026-01-01T00:00:00Z", "modified": "2026-01-02T00:00:00Z",
                  "name": fields["SUBJECT"], "priority": PRIORITIES[fields["PRIORITY"]],
                  "completed": fields.get("PERCENTCOMPLETE") == "100"}
        if "DUEDATE" in fields:
            due = datetime.datetime.strptime(fields["DUEDATE"], "%Y%m%d")
            record["dueDate"] = due.strftime("%Y-%m-%dT00:00:00Z")
        if "NOTE" in fields:
            record["content"] = fields["NOTE"]
        if "CATEGORY" in fields:
            record["categories"] = [10 + CATEGORIES.index(name) for name in fields["CATEGORY"].split(",")]
        records.append(record)
    return records


def google_state(tasks):
    """The Google peer's state: the account and the tasks spread over its four lists."""
    stamp = datetime.datetime(2026, 6, 1, tzinfo=datetime.timezone.utc)
    lists = {list_id: {} for list_id, _ in LISTS}
    for index, fields in enumerate(tasks):
        stamp += datetime.timedelta(milliseconds=7)
        text = stamp.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (stamp.microsecond // 1000)
        task = {"kind": "tasks#task", "id": "G%07d" % index, "title": "%s (%d)" % (fields["SUBJECT"], index),
                "status": "completed" if fields.get("PERCENTCOMPLETE") == "100" else "needsAction",
                "updated": text, "etag": '"%s"' % text}
        if "DUEDATE" in fields:
            task["due"] = datetime.datetime.strptime(fields["DUEDATE"], "%Y%m%d").strftime("%Y-%m-%dT00:00:00.000Z")
        if "NOTE" in fields:
            task["notes"] = fields["NOTE"]
        lists[LISTS[index % len(LISTS)][0]][task["id"]] = task
    task_lists = [{"kind": "tasks#taskList", "id": list_id, "title": title, "updated": text} for list_id, title in LISTS]
    return {"accounts": {EMAIL: {"refreshToken": "1//rt", "accessTokens": [], "taskLists": task_lists, "tasks": lists}},
            "lastEventStamp": text}


class GoogleTaskSide:
    def __init__(self, build, folder, count):
        self.client = os.path.join(build, "tools", "hm-sync", "hm_sync_once")
        self.outlook = os.path.join(build, "tools", "peers", "outlook_peer")
        self.google = os.path.join(build, "tools", "peers", "google_peer")
        for program in (self.client, self.outlook, self.google):
            if not os.access(program, os.X_OK):
                sys.exit("%s is missing: build hm_sync_once, google_peer and outlook_peer first" % program)
        self.folder, self.count = folder, count
        self.log = os.path.join(folder, "log.txt")
        home = os.path.join(folder, "home")
        self.runtime = os.path.join(folder, "run")
        self.env = dict(os.environ, HOME=home, TZ="UTC", LANG="C.UTF-8", XDG_RUNTIME_DIR=self.runtime,
                        HM_OUTLOOK_NO_PAUSE="1")
        self.env.pop("HM_SYNC_LOG_LEVEL", None)
        for name in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"):
            self.env[name] = os.path.join(home, name.lower())
        os.makedirs(home)
        os.makedirs(self.runtime, mode=0o700)
        self.outlook_process = self.google_process = None
        self.tokens = os.path.join(home, "tokens")
        self.first = True

    def prepare(self, outlook_side, google_side):
        self.outlook_process = peer_processes.start_outlook(
            self.outlook, self.env, self.runtime, self.folder,
            {"folders": OUTLOOK_FOLDERS, "tasks": outlook_tasks(outlook_side),
             "categories": [{"id": 10 + i, "name": name, "color": [0, 0, 65535]} for i, name in enumerate(CATEGORIES)]},
            self.log)
        self.google_process = peer_processes.start_google(self.google, self.env, self.folder, google_state(google_side),
                                                          self.log, self.tokens)

    def sync(self):
        command = [self.client, "--create-google-profile", "--google-user", EMAIL, "--google-conduits", "tasks",
                   "--google-tokens-file", self.tokens, "--timeout", "1800"]
        # Outlook's dates are whole seconds: the next sync starts in a later one.
        time.sleep(1.1)
        return measure(command, self.env, self.log)

    def google_requests(self):
        return json.loads(peer_processes.google_control(self.env, "peer/requests"))

    def clear_requests(self):
        peer_processes.google_control(self.env, "peer/clear-requests")

    def counts(self):
        """Outlook's tasks and Google's tasks not deleted."""
        outlook = len(peer_processes.send_to_outlook(self.outlook, self.env, self.runtime, {"op": "dump"})["state"]["tasks"])
        lists = json.loads(peer_processes.google_control(self.env, "peer/dump"))["accounts"][EMAIL]["tasks"]
        google = sum(1 for tasks in lists.values() for task in tasks.values() if not task.get("deleted"))
        return outlook, google

    def stop_all(self):
        for process in (self.outlook_process, self.google_process):
            if process is not None:
                process.terminate()
                process.wait()


def run(build, root, count):
    folder = tempfile.mkdtemp(prefix="g%d-" % count, dir=root)
    side = GoogleTaskSide(build, folder, count)
    try:
        side.prepare(realistic_data.make_tasks(count), realistic_data.make_tasks(count, seed=realistic_data.SEED + 7))
        first = side.sync()
        if side.counts() != (2 * count, 2 * count):
            sys.exit("after the first sync Outlook and Google hold %s, not %d each (see %s)" % (side.counts(), 2 * count, side.log))
        side.clear_requests()
        second = side.sync()
        writes = [r for r in side.google_requests() if r["method"] != "GET" and r["path"].startswith("/tasks/")]
        if writes:
            sys.exit("the no-change sync sent %d writes (see %s)" % (len(writes), side.log))
        return {"first sync": first, "no-change sync": second}
    finally:
        side.stop_all()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-release", help="the Release build folder")
    parser.add_argument("--records", type=int, nargs="+", default=[500, 1000, 2000], help="tasks each way")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (its logs) afterwards")
    arguments = parser.parse_args()
    root = tempfile.mkdtemp(prefix="hm-google-tasks-bench-", dir=os.environ.get("HM_BENCH_DIR", "/var/tmp"))
    results = []
    try:
        for count in arguments.records:
            runs = run(arguments.build, root, count)
            print("\n%d tasks each way" % count)
            print_runs((("google tasks", runs),))
            results.append((count, runs))
    finally:
        if not arguments.keep:
            shutil.rmtree(root, ignore_errors=True)
    if len(results) > 1:
        print("\nfitted exponent of CPU:")
        for name in ("first sync", "no-change sync"):
            print("  %s: %.2f" % (name, fitted_exponent([(count, runs[name].cpu) for count, runs in results])))


if __name__ == "__main__":
    main()
