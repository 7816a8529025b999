"""The phone peer's data file (phone_peer --data FILE), as the peer keeps it.

FILE is a snapshot of the phone's store ({"nextId", "conduits": {letter: [record]}, "ownWrites"}), and
FILE.journal beside it holds one JSON line per answer that changed something since the snapshot:
{"nextId", "purged": [letter], "records": {letter: {uid: record or null}}, "ownWrites": {letter: {uid:
change or null}}}, null for what is gone. A peer that stops cleanly writes the snapshot whole and
empties the journal; one that was killed leaves the journal, which read() replays as the peer does at
its next start.
"""

import json
import os


def read(path):
    """The whole store in the snapshot's shape: the snapshot with the journal's whole lines replayed."""
    store = {}
    if os.path.exists(path):
        with open(path) as file:
            store = json.load(file)
    conduits = {letter: {record["uid"]: record for record in records}
                for letter, records in store.get("conduits", {}).items()}
    own_writes = {letter: dict(writes) for letter, writes in store.get("ownWrites", {}).items()}
    for line in _journal_lines(path + ".journal"):
        # The conduits purged go first: the records and edits of the line are what followed.
        for letter in line.get("purged", []):
            conduits[letter] = {}
            own_writes.pop(letter, None)
        for table, key in ((conduits, "records"), (own_writes, "ownWrites")):
            for letter, by_uid in line.get(key, {}).items():
                held = table.setdefault(letter, {})
                for uid, value in by_uid.items():
                    if value is None:
                        held.pop(uid, None)
                    else:
                        held[uid] = value
        store["nextId"] = max(store.get("nextId", 1), line.get("nextId", 1))
    store["conduits"] = {letter: [by_uid[uid] for uid in sorted(by_uid)] for letter, by_uid in conduits.items()}
    store["ownWrites"] = own_writes
    return store


def write(path, store):
    """Writes the store as the snapshot, the peer stopped, and drops the journal the snapshot replaces."""
    with open(path, "w") as file:
        json.dump(store, file)
    try:
        os.remove(path + ".journal")
    except FileNotFoundError:
        pass


def _journal_lines(path):
    """The journal's whole lines; the last one may have been cut short by a kill and is left out."""
    try:
        with open(path, "rb") as file:
            text = file.read()
    except FileNotFoundError:
        return []
    lines = []
    for raw in text[:text.rfind(b"\n") + 1].split(b"\n"):
        try:
            line = json.loads(raw)
        except ValueError:
            continue
        if isinstance(line, dict):
            lines.append(line)
    return lines
