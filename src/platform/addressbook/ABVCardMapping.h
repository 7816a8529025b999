#pragma once

#include "platform/addressbook/VCard.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>

namespace platform {

class ABRecord;

// What the store's index keeps of a card, so an unchanged file need not be parsed again.
struct VCardSummary
{
    QString uniqueId;
    bool isGroup = false;
    QDateTime modificationDate; // REV, or the file's time when the card has none
    QString firstName;
    QString lastName;
    QString organization;
    QString groupName;
    QStringList emails;
};

// The translation between vCard text and address-book records. Stateless; any thread.
class ABVCardMapping final
{
public:
    ABVCardMapping() = delete;

    // The parameter that keeps a multi-value entry's identifier on the lines the mapping writes, and
    // the mark that makes such a line's key ("#" and the identifier) differ from the keys of other
    // lines (their names).
    static inline const QString kEntryIdParameter = QStringLiteral("X-HM-ID");
    static constexpr QChar kEntryKeyMark = QLatin1Char('#');

    // The card's summary; the unique id falls back to the file's name without ".vcf", the date to
    // the file's modification time.
    static VCardSummary summarize(const VCard &card, const QString &fallbackUniqueId, const QDateTime &fileTime);
    // The summary of a record as it stands, its modification date the record's own.
    static VCardSummary summaryOfRecord(ABRecord &record);
    // An empty group or person with the unique id, in no book yet.
    static std::shared_ptr<ABRecord> blankRecord(bool isGroup, const QString &uniqueId);
    // Fills a person or group from its card: values, multi-values with their identifiers, group
    // members, the lines this mapping does not know and the card's categories.
    static void readCard(const VCard &card, ABRecord &record);
    // The same, answering a key for each of the card's lines: "#" and the identifier for a line read
    // as a multi-value entry, the line's name for every other line.
    static QStringList readCardKeys(const VCard &card, ABRecord &record);
    // The card of a record. groupNames are the names of the person's groups (written as its
    // CATEGORIES together with foreign categories that name no group of allGroupNames).
    static VCard cardForRecord(ABRecord &record, const QStringList &groupNames, const QStringList &allGroupNames);
    // The card a record was read from, changed where the record now differs from what the card
    // says: only the lines of the values that differ are rewritten (a line that stays one line keeps
    // its group and parameters, its value and its label's types changed), lines are added or removed
    // for values added or removed, and REV takes the record's date. Every other line stays as the card
    // held it, its VERSION and the further ALTID forms of a value read too.
    static VCard patchedCard(const VCard &source, ABRecord &record, const QStringList &groupNames,
                             const QStringList &allGroupNames);
    // The lines a record's values make, without PRODID, UID, REV and foreign lines.
    static VCard mappedCard(ABRecord &record, const QStringList &groupNames, const QStringList &allGroupNames);
    // Whether a TYPE value says nothing of a label (PREF, VOICE, INTERNET...), and whether it is one the
    // mapping writes for a label it knows (HOME, CELL, FAX...); either in any case.
    static bool isNeutralType(const QString &type);
    static bool isKnownLabelType(const QString &type);
    // REV text of a date ("2026-12-07T13:45:12Z") and the date of REV text (several forms).
    static QString revisionText(const QDateTime &date);
    static QDateTime dateFromRevision(const QString &text);

private:
    static void readCardLines(const VCard &card, ABRecord &record, QStringList *keys);
};

} // namespace platform
