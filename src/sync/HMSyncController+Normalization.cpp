#include "sync/HMSyncController+Normalization.h"

#include "foundation/HMRRuleHelper.h"
#include "foundation/NSDictionary+HMExtras.h"
#include "platform/eventkit/EKRecurrenceRule.h"
#include "sync/HMSyncFields.h"
#include "sync/HMSyncTypes.h"

#include <QStringList>

#include <algorithm>
#include <array>

namespace {

constexpr std::array<QLatin1StringView, 7> kSalutationWords{
    QLatin1StringView("mr"),  QLatin1StringView("mrs"),  QLatin1StringView("ms"),   QLatin1StringView("dr"),
    QLatin1StringView("rev"), QLatin1StringView("prof"), QLatin1StringView("miss"),
};
// Join two salutations ("Mr and Mrs"); they never start one.
constexpr std::array<QLatin1StringView, 2> kSalutationJoiners{QLatin1StringView("and"), QLatin1StringView("&")};
constexpr std::array<QLatin1StringView, 12> kSuffixWords{
    QLatin1StringView("sr"), QLatin1StringView("sr."), QLatin1StringView("jr"),  QLatin1StringView("jr."),
    QLatin1StringView("i"),  QLatin1StringView("ii"),  QLatin1StringView("iii"), QLatin1StringView("iv"),
    QLatin1StringView("md"), QLatin1StringView("rn"),  QLatin1StringView("esq"), QLatin1StringView("dds"),
};

template <size_t N>
bool isListed(const std::array<QLatin1StringView, N> &words, const QString &word)
{
    return std::any_of(words.begin(), words.end(),
                       [&word](QLatin1StringView listed) { return word.compare(listed, Qt::CaseInsensitive) == 0; });
}

QString withoutTrailingDot(const QString &word)
{
    return word.endsWith(QLatin1Char('.')) ? word.chopped(1) : word;
}

bool holdsSpace(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); });
}

qsizetype lastSpaceIndex(const QString &text)
{
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        if (text.at(i).isSpace())
            return i;
    }
    return -1;
}

// The record's text under the key; missing (or not text) reads as the empty text.
QString textOf(const QVariantMap &record, QLatin1StringView key)
{
    return stringForKey(record, QString(key));
}

bool isEmptyAt(const QVariantMap &record, QLatin1StringView key)
{
    return textOf(record, key).isEmpty();
}

// Writing no value (a null text) removes the key, as the record's set-value operation does.
void writeText(QVariantMap &record, QLatin1StringView key, const QString &value)
{
    if (value.isNull())
        record.remove(QString(key));
    else
        record.insert(QString(key), value);
}

// Fills the key only when it is empty and there is something to put there.
void fillIfEmpty(QVariantMap &record, QLatin1StringView key, const QString &value)
{
    if (!value.isEmpty() && isEmptyAt(record, key))
        record.insert(QString(key), value);
}

// The non-empty parts joined by single spaces; the empty text when every part is empty.
QString joinNonEmpty(std::initializer_list<QString> parts)
{
    QStringList kept;
    for (const QString &part : parts) {
        if (!part.isEmpty())
            kept.append(part);
    }
    return kept.isEmpty() ? QString(QLatin1String("")) : kept.join(QLatin1Char(' '));
}

QString nonNull(const QString &text)
{
    return text.isNull() ? QString(QLatin1String("")) : text;
}

// A salutation found in the name replaces the record's; a name without one leaves the record's own
// (a phone keeps "Dr" apart from the first name, and dropping it would remove it from the phone at
// the next desktop edit).
void keepOrReplaceSalutation(QVariantMap &record, const QString &found)
{
    if (!found.isEmpty() || textOf(record, kHMSyncFieldSalutation).isEmpty())
        writeText(record, kHMSyncFieldSalutation, found);
}

} // namespace

// ---- Name parts ---------------------------------------------------------------------------------

QString getLastName(const QString &name)
{
    const QString text = name.trimmed();
    const qsizetype space = lastSpaceIndex(text);
    return space < 0 ? nonNull(text) : text.mid(space + 1).trimmed();
}

QString removeLastName(const QString &name)
{
    const QString text = name.trimmed();
    return nonNull(text.chopped(getLastName(text).size()).trimmed());
}

// A salutation is one or more salutation words from the start of the name, each ending at a space or
// after a dot ("Dr.Smith" holds the salutation "Dr."), possibly joined by "and" or "&" ("Mr. & Mrs.").
// It ends with its last salutation word, so a joiner that is not followed by one stays in the name.
QString getSalutation(const QString &name)
{
    const QString text = name.trimmed();
    if (!holdsSpace(text) && !text.contains(QLatin1Char('.')))
        return {};
    qsizetype position = 0;
    qsizetype salutationEnd = 0;
    while (position < text.size()) {
        while (position < text.size() && text.at(position).isSpace())
            ++position;
        const qsizetype wordStart = position;
        while (position < text.size() && !text.at(position).isSpace()) {
            if (text.at(position++) == QLatin1Char('.'))
                break;
        }
        const QString word = withoutTrailingDot(text.mid(wordStart, position - wordStart));
        if (isListed(kSalutationWords, word))
            salutationEnd = position;
        else if (salutationEnd == 0 || !isListed(kSalutationJoiners, word))
            break;
    }
    if (salutationEnd == 0)
        return {};
    return text.left(salutationEnd).trimmed();
}

QString removeSalutation(const QString &name)
{
    const QString text = name.trimmed();
    const QString salutation = getSalutation(text);
    if (salutation.isNull())
        return nonNull(text);
    return nonNull(text.mid(salutation.size()).trimmed());
}

// The last word is a suffix when, ignoring case, it is a suffix word as it stands, without a final dot,
// or without any of its dots ("M.D.", "D.D.S.").
QString getSuffix(const QString &name)
{
    const QString text = name.trimmed();
    const qsizetype space = lastSpaceIndex(text);
    if (space < 0)
        return {};
    const QString word = text.mid(space + 1);
    QString withoutDots = word;
    withoutDots.remove(QLatin1Char('.'));
    if (isListed(kSuffixWords, word) || isListed(kSuffixWords, withoutTrailingDot(word))
        || (!withoutDots.isEmpty() && isListed(kSuffixWords, withoutDots))) {
        return word;
    }
    return {};
}

QString removeSuffix(const QString &name)
{
    const QString text = name.trimmed();
    const QString suffix = getSuffix(text);
    if (suffix.isNull())
        return nonNull(text);
    QString rest = text.chopped(suffix.size()).trimmed();
    if (rest.endsWith(QLatin1Char(',')))
        rest = rest.chopped(1).trimmed();
    return nonNull(rest);
}

void normalizeDictionary(QVariantMap &record, quint64 conduit)
{
    switch (HMSyncConduit(conduit)) {
    case HMSyncConduit::Contacts:
        normalizeContactDictionary(record);
        break;
    case HMSyncConduit::Calendar:
        normalizeEventDictionary(record);
        break;
    default:
        break;
    }
}

// ---- Events -------------------------------------------------------------------------------------

void normalizeEventDictionary(QVariantMap &record)
{
    // One text for every record's key, not one made per record.
    static const QString ruleKey(kHMSyncFieldRecurringRRule);
    const QVariant ruleValue = record.value(ruleKey);
    if (ruleValue.isValid()) {
        // Even an empty rule text is the rule the record carries: its fields replace what was there.
        const QVariantMap recurrence = HMRRuleHelper::getDictionaryFromRRule(
            stringForKey(record, ruleKey), record.value(QString(kHMSyncFieldNSDateStartDate)).toDateTime());
        for (auto it = recurrence.cbegin(); it != recurrence.cend(); ++it)
            record.insert(it.key(), it.value());
        return;
    }
    std::optional<platform::EKRecurrenceRule> ruleObject;
    const QVariant objectValue = record.value(QString(kHMSyncFieldEKRecurrenceRule));
    if (objectValue.metaType() == QMetaType::fromType<platform::EKRecurrenceRule>())
        ruleObject = objectValue.value<platform::EKRecurrenceRule>();
    record.insert(ruleKey, nonNull(HMRRuleHelper::rRuleFromDictionary(record, ruleObject)));
}

void normalizeTaskDictionary(QVariantMap &) {}

void normalizeMemoDictionary(QVariantMap &) {}

void normalizeRecurrenceInDictionary(QVariantMap &) {}

// ---- Contacts -----------------------------------------------------------------------------------

void normalizeContactDictionary(QVariantMap &record)
{
    // The tests use the record as it came in; each step reads the record as the earlier ones left it.
    const bool fullNameWasEmpty = isEmptyAt(record, kHMSyncFieldFullName);
    const bool fivePartWasEmpty = isEmptyAt(record, kHMSyncFieldNewFirstName)
                                  && isEmptyAt(record, kHMSyncFieldNewLastName);
    const bool twoPartWasEmpty = isEmptyAt(record, kHMSyncFieldFirstName) && isEmptyAt(record, kHMSyncFieldLastName);
    const bool fileAsWasEmpty = isEmptyAt(record, kHMSyncFieldFileAs);

    if (fullNameWasEmpty)
        normalizeFullname(record);
    if (fivePartWasEmpty)
        normalizeFivePartName(record);
    if (twoPartWasEmpty)
        normalizeTwoPartName(record);
    if (fileAsWasEmpty)
        normalizeFileAs(record);
}

void normalizeFullname(QVariantMap &record)
{
    const QString newFirst = textOf(record, kHMSyncFieldNewFirstName);
    const QString newLast = textOf(record, kHMSyncFieldNewLastName);
    if (!newFirst.isEmpty() || !newLast.isEmpty()) {
        writeText(record, kHMSyncFieldFullName,
                  joinNonEmpty({textOf(record, kHMSyncFieldSalutation), newFirst,
                                textOf(record, kHMSyncFieldMiddleName), newLast, textOf(record, kHMSyncFieldSuffix)}));
        return;
    }
    writeText(record, kHMSyncFieldFullName,
              joinNonEmpty({textOf(record, kHMSyncFieldFirstName), textOf(record, kHMSyncFieldLastName)}));
}

void normalizeFivePartName(QVariantMap &record)
{
    const QString first = textOf(record, kHMSyncFieldFirstName);
    const QString last = textOf(record, kHMSyncFieldLastName);
    const QString fullName = textOf(record, kHMSyncFieldFullName);
    const QString empty(QLatin1String(""));

    if (!first.isEmpty() || !last.isEmpty()) {
        keepOrReplaceSalutation(record, getSalutation(first));
        writeText(record, kHMSyncFieldNewFirstName, removeSalutation(first));
        writeText(record, kHMSyncFieldNewLastName, removeSuffix(last));
        // The suffix the split separates is kept rather than lost.
        fillIfEmpty(record, kHMSyncFieldSuffix, getSuffix(last));
        return;
    }
    if (!fullName.isEmpty()) {
        const QString salutation = getSalutation(fullName);
        const QString withoutSalutation = removeSalutation(fullName);
        const QString rest = removeSuffix(withoutSalutation);
        const QString rest2 = removeLastName(rest);
        const QString middle = getLastName(rest2);
        const QString firstWords = removeLastName(rest2);
        writeText(record, kHMSyncFieldNewLastName, getLastName(rest));
        writeText(record, kHMSyncFieldNewFirstName, firstWords.isEmpty() ? middle : firstWords);
        keepOrReplaceSalutation(record, salutation);
        if (!firstWords.isEmpty())
            fillIfEmpty(record, kHMSyncFieldMiddleName, middle);
        fillIfEmpty(record, kHMSyncFieldSuffix, getSuffix(withoutSalutation));
        return;
    }
    writeText(record, kHMSyncFieldNewFirstName, empty);
    writeText(record, kHMSyncFieldNewLastName, empty);
    writeText(record, kHMSyncFieldSalutation, empty);
}

void normalizeTwoPartName(QVariantMap &record)
{
    const QString newFirst = textOf(record, kHMSyncFieldNewFirstName);
    const QString newLast = textOf(record, kHMSyncFieldNewLastName);
    const QString fullName = textOf(record, kHMSyncFieldFullName);

    if (!newFirst.isEmpty() || !newLast.isEmpty()) {
        writeText(record, kHMSyncFieldFirstName, joinNonEmpty({textOf(record, kHMSyncFieldSalutation), newFirst}));
        writeText(record, kHMSyncFieldLastName, joinNonEmpty({newLast, textOf(record, kHMSyncFieldSuffix)}));
        return;
    }
    if (!fullName.isEmpty()) {
        const QString salutation = getSalutation(fullName);
        const QString withoutSalutation = removeSalutation(fullName);
        const QString rest = removeSuffix(withoutSalutation);
        // The last name keeps its suffix, as the five-part branch above joins them.
        writeText(record, kHMSyncFieldLastName, joinNonEmpty({getLastName(rest), getSuffix(withoutSalutation)}));
        writeText(record, kHMSyncFieldFirstName, joinNonEmpty({salutation, removeLastName(rest)}));
        return;
    }
    writeText(record, kHMSyncFieldFirstName, QString(QLatin1String("")));
    writeText(record, kHMSyncFieldLastName, QString(QLatin1String("")));
}

void normalizeFileAs(QVariantMap &record)
{
    const QString first = textOf(record, kHMSyncFieldFirstName);
    const QString newLast = textOf(record, kHMSyncFieldNewLastName);
    QString fileAs;
    if (!newLast.isEmpty() && !first.isEmpty())
        fileAs = QStringLiteral("%1, %2").arg(newLast, first);
    else if (!newLast.isEmpty())
        fileAs = newLast;
    else if (!first.isEmpty())
        fileAs = first;
    else if (const QString nickname = textOf(record, kHMSyncFieldNickname); !nickname.isEmpty())
        fileAs = nickname;
    else
        fileAs = nonNull(textOf(record, kHMSyncFieldCompany));
    writeText(record, kHMSyncFieldFileAs, fileAs);
}
