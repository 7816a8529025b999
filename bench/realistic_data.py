"""Contacts and events shaped like real users' stores, for the benchmarks.

A real address book repeats names: a few hundred given names and a few thousand surnames, the common
ones far more often than the rare ones, shared companies, some contacts without an e-mail address or a
company, birthdays on some. A real calendar has single meetings, all-day events, birthdays, and series
(three in ten events), a tenth of them with 1 to 20 occurrences deleted or moved. A fifth of the files
are written as other programs write them: a time zone of their own (with its VTIMEZONE), DURATION in
place of DTEND, folded lines, X- properties; the rest as a plain writer writes them, in UTC.

Every item has a file text (vCard 3.0 or iCalendar) and the phone's fields for it; the same seed gives
the same items. The phone cannot hold a moved occurrence inside its series: there the series lists the
occurrence's day among its exceptions and the moved occurrence is an event of its own.
"""

import base64
import datetime
import random
import zoneinfo

SEED = 20261208
RECURRING_SHARE = 0.30
WITH_EXCEPTIONS_SHARE = 0.10  # of the series
FOREIGN_EVERY = 5  # one file in this many is written as another program writes it
FOREIGN_ZONE = "Europe/Berlin"

_SYLLABLES = ["an", "ber", "cla", "da", "el", "fi", "gar", "ha", "in", "jo", "ka", "li", "ma", "no", "ol", "pe",
              "qui", "ra", "sa", "ta", "ul", "vi", "wen", "xa", "yo", "zel", "mar", "ton", "son", "lind", "berg",
              "stro", "ve", "ric", "lo", "mi", "né", "ü", "ø", "ka", "do", "ri"]
_DOMAINS = ["example.org", "example.com", "mail.example.net", "post.example.de", "example.co.uk"]
_COMPANY_WORDS = ["Acme", "Blue", "North", "Harbour", "Stone", "Meridian", "Oak", "Summit", "River", "Atlas",
                  "Copper", "Lantern", "Orchard", "Pioneer", "Granite", "Willow", "Falcon", "Beacon"]
_COMPANY_KINDS = ["Ltd", "GmbH", "& Sons", "Partners", "Group", "Consulting", "Bakery", "Clinic", "Studio", "AG"]
_SUBJECTS = ["Team meeting", "Dentist", "Call with {}", "Lunch with {}", "Review", "Gym", "Yoga", "Piano lesson",
             "Project sync", "1:1 {}", "Flight to Oslo", "School run", "Book club", "Standup", "Budget review"]
_PLACES = ["Room 4", "Café Nord", "Main office, 3rd floor", "", "", "Online", "Town hall", "Müllerstraße 12"]


def _name(rng, syllables):
    return "".join(rng.choice(_SYLLABLES) for _ in range(syllables)).capitalize()


def _pool(rng, count, low, high):
    """count distinct made-up names of low to high syllables."""
    names = []
    seen = set()
    while len(names) < count:
        name = _name(rng, rng.randint(low, high))
        if name not in seen:
            seen.add(name)
            names.append(name)
    return names


class _Skewed:
    """Picks from a list, the first entries far more often than the last, as names are in a population
    (weight 1 / (rank + offset): the commonest surname holds some 1.6 % of a book, as common ones do)."""

    def __init__(self, rng, values, offset):
        self.rng, self.values = rng, values
        self.weights = [1.0 / (rank + offset) for rank in range(1, len(values) + 1)]

    def pick(self):
        return self.rng.choices(self.values, self.weights)[0]


class Contact:
    def __init__(self, index, first, last, company, email, phone, birthday, note):
        self.index, self.first, self.last, self.company = index, first, last, company
        self.email, self.phone, self.birthday, self.note = email, phone, birthday, note
        self.foreign = index % FOREIGN_EVERY == FOREIGN_EVERY - 1
        self.photo = None  # bytes of a JPEG-like picture, set by the photo case


def make_contacts(count, seed=SEED):
    """count contacts over 300 given names, 3,000 surnames and 400 companies."""
    rng = random.Random(seed)
    givens = _Skewed(rng, _pool(rng, 300, 1, 2), 5)
    surnames = _Skewed(rng, _pool(rng, 3000, 2, 3), 10)
    companies = _Skewed(rng, ["%s %s" % (rng.choice(_COMPANY_WORDS), rng.choice(_COMPANY_KINDS)) + ("" if i < 150 else " %d" % i)
                              for i in range(400)], 3)
    taken = set()
    contacts = []
    for index in range(count):
        first, last = givens.pick(), surnames.pick()
        company = companies.pick() if rng.random() < 0.65 else ""
        email = ""
        if rng.random() < 0.85:
            stem = "%s.%s" % (first.lower(), last.lower())
            email = "%s@%s" % (stem, rng.choice(_DOMAINS))
            number = 2
            while email in taken:
                email = "%s%d@%s" % (stem, number, email.split("@")[1])
                number += 1
            taken.add(email)
        birthday = None
        if rng.random() < 0.3:
            birthday = datetime.date(rng.randint(1940, 2015), rng.randint(1, 12), rng.randint(1, 28))
        note = "Met at the fair\nlikes tea" if rng.random() < 0.2 else ""
        phone = "+44 20 7946 %04d" % rng.randint(0, 9999)
        contacts.append(Contact(index, first, last, company, email, phone, birthday, note))
    return contacts


def phone_contact(contact, revision=0):
    fields = {"NEWFNAME": contact.first, "NEWLNAME": contact.last + (" (changed)" if revision else ""),
              "PHONE1": contact.phone, "PHONELABEL1": "2"}
    for key, value in (("EMAIL", contact.email), ("COMPANY", contact.company), ("NOTE", contact.note)):
        if value:
            fields[key] = value
    if contact.birthday:
        fields["BIRTHDAY"] = contact.birthday.strftime("%Y%m%d")
    return fields


def fold(line):
    """An iCalendar or vCard line folded at 75 octets, as RFC 5545 and 6350 ask."""
    data = line.encode()
    parts = []
    while len(data) > 75:
        cut = 75 if not parts else 74
        while cut > 0 and (data[cut] & 0xC0) == 0x80:  # never inside a character
            cut -= 1
        parts.append(data[:cut])
        data = data[cut:]
    parts.append(data)
    return b"\r\n ".join(parts).decode()


def _escaped(text):
    return text.replace("\\", "\\\\").replace(";", "\\;").replace(",", "\\,").replace("\n", "\\n")


def vcard(contact, revision=0):
    """The contact's vCard: plain, or as an exporting program writes it (grouped labels, X- properties,
    a long folded note, a product id)."""
    last = contact.last + (" (changed)" if revision else "")
    lines = ["BEGIN:VCARD", "VERSION:3.0"]
    if contact.foreign:
        lines.append("PRODID:-//Example Corp.//Address Export 7.2//EN")
    lines += ["UID:contact-%d" % contact.index, "FN:%s %s" % (contact.first, last),
              "N:%s;%s;;;" % (_escaped(last), _escaped(contact.first))]
    if contact.email:
        lines.append(("item1.EMAIL;TYPE=INTERNET,pref:%s" if contact.foreign else "EMAIL;TYPE=INTERNET:%s") % contact.email)
        if contact.foreign:
            lines.append("item1.X-ABLabel:_$!<Work>!$_")
    lines.append(("TEL;TYPE=CELL,VOICE:%s" if contact.foreign else "TEL;TYPE=WORK:%s") % contact.phone)
    if contact.company:
        lines.append("ORG:%s" % _escaped(contact.company))
    if contact.birthday:
        lines.append("BDAY:%s" % contact.birthday.isoformat())
    note = contact.note
    if contact.foreign:
        note = (note + "\n" if note else "") + "Imported from the old phone; " * 4
        lines += ["X-SOCIALPROFILE;TYPE=example:https://social.example.org/%s" % contact.first.lower(),
                  "X-PHONETIC-LAST-NAME:%s" % last.upper(), "REV:2025-11-02T10:20:30Z"]
    if note:
        lines.append("NOTE:%s" % _escaped(note))
    if contact.photo:
        lines.append("PHOTO;ENCODING=b;TYPE=JPEG:%s" % base64.b64encode(contact.photo).decode())
    lines.append("END:VCARD")
    return "".join(fold(line) + "\r\n" for line in lines)


# ---- events ------------------------------------------------------------------------------------


class Event:
    """An event or series. Times are UTC; a foreign file shows them in FOREIGN_ZONE."""

    def __init__(self, index, subject, location, start, minutes, all_day):
        self.index, self.subject, self.location = index, subject, location
        self.start, self.minutes, self.all_day = start, minutes, all_day
        self.rule = None  # ("DAILY"|"WEEKLY"|"MONTHLY"|"YEARLY", interval, count or None)
        self.deleted = []  # occurrence starts left out
        self.moved = []  # (occurrence start, new start)
        self.foreign = index % FOREIGN_EVERY == FOREIGN_EVERY - 1

    def occurrences(self, limit):
        """The series' first occurrence starts (the rule's own, before exceptions), at most limit, in
        UTC. A foreign file's series keeps its wall-clock time in its zone across daylight saving."""
        frequency, interval, count = self.rule
        first = self.start.astimezone(zoneinfo.ZoneInfo(FOREIGN_ZONE)) if self.foreign and not self.all_day else self.start
        starts = []
        for number in range(min(limit, count or limit)):
            if frequency == "DAILY":
                start = first + datetime.timedelta(days=interval * number)
            elif frequency == "WEEKLY":
                start = first + datetime.timedelta(weeks=interval * number)
            else:
                months = interval * number * (12 if frequency == "YEARLY" else 1)
                year, month = divmod(first.month - 1 + months, 12)
                start = first.replace(year=first.year + year, month=month + 1)
            starts.append(start.astimezone(datetime.timezone.utc))
        return starts


def make_events(count, seed=SEED, today=None):
    """count events: birthdays and other all-day events, meetings, and 30 % series, a tenth of these
    with 1 to 20 occurrences deleted or moved. All lie in the range a calendar sync keeps."""
    rng = random.Random(seed + 1)
    today = today or datetime.date.today()
    people = make_contacts(400, seed)
    events = []
    taken = set()
    for index in range(count):
        day = today - datetime.timedelta(days=30) + datetime.timedelta(days=rng.randint(0, 364))
        person = rng.choice(people)
        subject = rng.choice(_SUBJECTS).format(person.first)
        kind = rng.random()
        if kind < 0.06:  # a birthday: a yearly all-day series
            event = Event(index, "%s %s's birthday" % (person.first, person.last), "", _at(day, 0, 0), 1440, True)
            event.rule = ("YEARLY", 1, None)
        elif kind < 0.12:
            event = Event(index, subject, rng.choice(_PLACES), _at(day, 0, 0), 1440 * rng.randint(1, 3), True)
        else:
            minutes = rng.choice([15, 30, 45, 60, 60, 60, 90, 120])
            event = Event(index, subject, rng.choice(_PLACES), _at(day, rng.randint(7, 19), rng.choice([0, 15, 30])),
                          minutes, False)
            if rng.random() < (RECURRING_SHARE - 0.06) / 0.88:
                _make_series(rng, event, today)
        _keep_apart(event, taken)
        if event.rule and event.rule[0] != "YEARLY" and rng.random() < WITH_EXCEPTIONS_SHARE:
            _make_exceptions(rng, event, taken)
        events.append(event)
    return events


def _keep_apart(event, taken):
    """Numbers the event's title while another event of that title can start at one of its times of day
    (or, all day, on its day of the year): the desktop rightly takes an event starting with another of
    its title, or with an occurrence of one, for the same event, and each side must end with every item.
    A series of a foreign file keeps its time in its zone, so its UTC time of day changes with the
    seasons."""
    if event.all_day:
        times = {event.start.strftime("%m%d")}
    elif event.foreign and event.rule:
        local = event.start.astimezone(zoneinfo.ZoneInfo(FOREIGN_ZONE))
        times = {(local.replace(month=month).astimezone(datetime.timezone.utc)).strftime("%H%M") for month in (1, 7)}
    else:
        times = {event.start.strftime("%H%M")}
    number, subject = 1, event.subject
    while any((subject, event.all_day, time, event.minutes) in taken for time in times):
        number += 1
        subject = "%s %d" % (event.subject, number)
    event.subject = subject
    taken.update((subject, event.all_day, time, event.minutes) for time in times)


def _at(day, hour, minute):
    return datetime.datetime(day.year, day.month, day.day, hour, minute, tzinfo=datetime.timezone.utc)


def _make_series(rng, event, today):
    # A series starts within a month of today, as the ones in use do.
    day = today + datetime.timedelta(days=rng.randint(-30, 30))
    event.start = event.start.replace(year=day.year, month=day.month, day=day.day)
    frequency = rng.choices(["DAILY", "WEEKLY", "MONTHLY"], [1, 6, 2])[0]
    event.rule = (frequency, rng.choice([1, 1, 1, 2]), rng.choice([None, None, 10, 20, 52]))
    if event.rule[0] == "MONTHLY" and event.start.day > 28:
        event.start = event.start.replace(day=28)


def _make_exceptions(rng, event, taken):
    # Within the year ahead, where the calendar is looked at and synced.
    starts = [start for start in event.occurrences(60)[1:] if start < event.start + datetime.timedelta(days=300)]
    changed = rng.sample(starts, min(len(starts), rng.randint(1, 20)))
    for number, start in enumerate(sorted(changed)):
        if number % 3 != 2:
            event.deleted.append(start)
            continue
        moved = start + datetime.timedelta(hours=rng.choice([1, 2, 24, -1]))
        # A moved occurrence is an event of its own on the phone: it too starts apart from its likes.
        while (event.subject, moved) in taken:
            moved += datetime.timedelta(minutes=15)
        taken.add((event.subject, moved))
        event.moved.append((start, moved))


def _utc_text(moment):
    return moment.strftime("%Y%m%dT%H%M%SZ")


def _local_text(moment):
    return moment.astimezone(zoneinfo.ZoneInfo(FOREIGN_ZONE)).strftime("%Y%m%dT%H%M%S")


def _when(name, moment, event):
    if event.all_day:
        return "%s;VALUE=DATE:%s" % (name, moment.strftime("%Y%m%d"))
    if event.foreign:
        return "%s;TZID=%s:%s" % (name, FOREIGN_ZONE, _local_text(moment))
    return "%s:%s" % (name, _utc_text(moment))


_BERLIN_ZONE = [
    "BEGIN:VTIMEZONE", "TZID:Europe/Berlin", "X-LIC-LOCATION:Europe/Berlin",
    "BEGIN:DAYLIGHT", "TZOFFSETFROM:+0100", "TZOFFSETTO:+0200", "TZNAME:CEST", "DTSTART:19700329T020000",
    "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU", "END:DAYLIGHT",
    "BEGIN:STANDARD", "TZOFFSETFROM:+0200", "TZOFFSETTO:+0100", "TZNAME:CET", "DTSTART:19701025T030000",
    "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU", "END:STANDARD", "END:VTIMEZONE"]


def _component(event, subject, start, recurrence_id=None, with_rule=True):
    lines = ["BEGIN:VEVENT", "UID:event-%d" % event.index, "DTSTAMP:20260101T000000Z"]
    if recurrence_id is not None:
        lines.append(_when("RECURRENCE-ID", recurrence_id, event))
    lines.append(_when("DTSTART", start, event))
    end = start + datetime.timedelta(minutes=event.minutes)
    if event.foreign and not event.all_day:
        lines.append("DURATION:PT%dH%dM" % divmod(event.minutes, 60))
    else:
        lines.append(_when("DTEND", end, event))
    if with_rule and event.rule:
        frequency, interval, count = event.rule
        rule = "RRULE:FREQ=%s" % frequency + (";INTERVAL=%d" % interval if interval > 1 else "")
        lines.append(rule + (";COUNT=%d" % count if count else ""))
        lines += [_when("EXDATE", deleted, event) for deleted in event.deleted]
    lines.append("SUMMARY:%s" % _escaped(subject))
    if event.location:
        lines.append("LOCATION:%s" % _escaped(event.location))
    if event.foreign:
        lines += ["DESCRIPTION:%s" % _escaped("Agenda: " + "the points raised at the last meeting, " * 3),
                  "X-MICROSOFT-CDO-BUSYSTATUS:BUSY", "X-MOZ-GENERATION:3", "TRANSP:OPAQUE"]
    if not event.all_day:
        lines += ["BEGIN:VALARM", "ACTION:DISPLAY", "DESCRIPTION:%s" % _escaped(subject), "TRIGGER:-PT15M",
                  "END:VALARM"]
    lines.append("END:VEVENT")
    return lines


def ics(event, revision=0):
    """The event's iCalendar file: the series and its moved occurrences in one file."""
    subject = event.subject + (" (changed)" if revision else "")
    lines = ["BEGIN:VCALENDAR", "VERSION:2.0"]
    lines.append("PRODID:-//Example Corp.//Planner 12.0//EN" if event.foreign else "PRODID:-//Harrowmere bench//EN")
    if event.foreign:
        lines += ["CALSCALE:GREGORIAN", "X-WR-CALNAME:Home"]
        if not event.all_day:
            lines += _BERLIN_ZONE
    lines += _component(event, subject, event.start)
    for original, start in event.moved:
        lines += _component(event, subject + " (moved)", start, recurrence_id=original, with_rule=False)
    lines.append("END:VCALENDAR")
    return "".join(fold(line) + "\r\n" for line in lines)


_WEEKDAY_BIT = {0: 2, 1: 4, 2: 8, 3: 16, 4: 32, 5: 64, 6: 1}  # Python's Monday 0 -> the phone's mask


def _phone_times(fields, prefix_date, prefix_time, moment):
    fields[prefix_date] = moment.strftime("%Y%m%d")
    fields[prefix_time] = moment.strftime("%H:%M:%S")


def phone_events(event, revision=0):
    """The phone's records of the event: its own, then one for each moved occurrence."""
    subject = event.subject + (" (changed)" if revision else "")
    records = [_phone_event(event, subject, event.start)]
    if event.rule:
        frequency, interval, count = event.rule
        fields = records[0]
        fields.update({"REPEAT": str({"DAILY": 1, "WEEKLY": 2, "MONTHLY": 3, "YEARLY": 4}[frequency]),
                       "INTERVAL": str(interval)})
        if frequency == "WEEKLY":
            fields["DAYMASK"] = str(_WEEKDAY_BIT[event.start.weekday()])
        elif frequency in ("MONTHLY", "YEARLY"):
            fields.update({"REPTDAYOPT": "0", "DAYOFMONTH": str(event.start.day)})
            if frequency == "YEARLY":
                fields["MONTH"] = str(event.start.month)
        if count:
            fields["REPEATEND"] = event.occurrences(count)[-1].strftime("%Y%m%d")
        left_out = sorted(event.deleted + [original for original, _ in event.moved])
        if left_out:
            fields["REPEATEXCEPTIONS"] = "\t".join(moment.strftime("%Y%m%d") for moment in left_out)
    records += [_phone_event(event, subject + " (moved)", start) for _, start in event.moved]
    return records


def _phone_event(event, subject, start):
    fields = {"SUBJECT": subject, "LOCATION": event.location, "TYPE": "1" if event.all_day else "0",
              "ALARMTIME": "-1" if event.all_day else "15"}
    end = start + datetime.timedelta(minutes=event.minutes)
    if event.all_day:
        end -= datetime.timedelta(days=1)  # the phone names an all-day event's last day
    _phone_times(fields, "GMTSTARTDATE", "GMTSTARTTIME", start)
    _phone_times(fields, "GMTENDDATE", "GMTENDTIME", end)
    return fields


# ---- tasks and memos, as the phone holds them ----------------------------------------------------

_TASK_TITLES = ["Buy milk", "Call {}", "Pay rent", "Water the plants", "Submit expenses", "Book the car service",
                "Reply to {}", "Renew passport", "Take out the bins", "Birthday present for {}", "Review the budget",
                "Send the invoice", "Pick up the dry cleaning", "Dentist appointment", "Back up the laptop"]
_MEMO_TITLES = ["Groceries", "Ideas", "Packing list", "Meeting notes", "Wi-Fi at {}'s", "Books to read",
                "Gift ideas for {}", "Recipe: lasagne", "Car", "Holiday plans", "Passwords hint", "To ask {}"]
_NOTE_LINES = ["two litres, skimmed", "ask about the discount", "see the e-mail of Monday", "room 4, 3rd floor",
               "before noon", "bring the receipt", "call back if busy", "größer als letztes Mal", "ref. 42-A/7", ""]
_CATEGORIES = ["Work", "Home", "Personal", "Family", "Work,Urgent"]


def make_tasks(count, seed=SEED, today=None):
    """The phone's fields of count tasks: titles repeating, seven in ten with a due date (none older than a
    month), some with a start day and a reminder, priorities high to low, a quarter completed, a third with
    a note of several lines, a fifth with categories."""
    rng = random.Random(seed + 2)
    today = today or datetime.date.today()
    people = make_contacts(200, seed)
    tasks = []
    for _ in range(count):
        fields = {"SUBJECT": rng.choice(_TASK_TITLES).format(rng.choice(people).first),
                  "PRIORITY": str(rng.choice([1, 2, 2, 3, 3, 3]))}
        if rng.random() < 0.7:
            due = today + datetime.timedelta(days=rng.randint(-30, 200))
            fields["DUEDATE"] = due.strftime("%Y%m%d")
            if rng.random() < 0.2:
                fields["STARTDATE"] = (due - datetime.timedelta(days=rng.randint(1, 14))).isoformat()
            if rng.random() < 0.2:
                fields["ALARMTIME"] = (due - datetime.timedelta(days=1)).isoformat()
        if rng.random() < 0.25:
            fields["PERCENTCOMPLETE"] = "100"
        if rng.random() < 0.33:
            fields["NOTE"] = "\n".join(rng.choice(_NOTE_LINES) for _ in range(rng.randint(2, 4)))
        if rng.random() < 0.2:
            fields["CATEGORY"] = rng.choice(_CATEGORIES)
        tasks.append(fields)
    return tasks


def make_memos(count, seed=SEED):
    """The phone's fields of count memos: a title line (titles repeating) and one to eight more lines,
    three in ten with categories."""
    rng = random.Random(seed + 3)
    people = make_contacts(200, seed)
    memos = []
    for _ in range(count):
        lines = [rng.choice(_MEMO_TITLES).format(rng.choice(people).first)]
        lines += [rng.choice(_NOTE_LINES) or "-" for _ in range(rng.randint(1, 8))]
        fields = {"NOTE": "\n".join(lines)}
        if rng.random() < 0.3:
            fields["CATEGORY"] = rng.choice(_CATEGORIES)
        memos.append(fields)
    return memos
