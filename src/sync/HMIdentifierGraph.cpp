#include "sync/HMIdentifierGraph.h"

#include "foundation/Lumberjack/DDLog.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/KeyedUnarchiver.h"

#include <QVariantList>

using platform::Error;
using platform::ErrorCode;

namespace {

const QString kHmUidKey = QStringLiteral("hmUid");
const QString kNativeIdKey = QStringLiteral("nativeId");
const QString kIdentifierDictionariesKey = QStringLiteral("identifierDictionaries");
const QString kLastSyncDateKey = QStringLiteral("lastSyncDate");

bool isAscii(const QString &text)
{
    for (const QChar character : text) {
        if (character.unicode() >= 0x80)
            return false;
    }
    return true;
}

// The text with its diacritics taken off and its case folded: "Émile" and "emile" fold alike.
QString folded(const QString &text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString bare;
    bare.reserve(decomposed.size());
    for (const QChar character : decomposed) {
        if (character.category() != QChar::Mark_NonSpacing)
            bare.append(character);
    }
    return bare.toCaseFolded();
}

// Compares ignoring case and diacritics. Identifiers are nearly always ASCII, and graphs hold tens of
// thousands of entries, so that case compares in place without building folded copies.
class LooseMatcher final
{
public:
    explicit LooseMatcher(const QString &target)
        : m_target(target), m_targetIsAscii(isAscii(target)), m_foldedTarget(folded(target))
    {
    }

    bool matches(const QVariant &value) const
    {
        if (value.typeId() != QMetaType::QString)
            return false;
        const QString candidate = value.toString();
        if (m_targetIsAscii && isAscii(candidate))
            return QString::compare(candidate, m_target, Qt::CaseInsensitive) == 0;
        return folded(candidate) == m_foldedTarget;
    }

private:
    QString m_target;
    bool m_targetIsAscii;
    QString m_foldedTarget;
};

bool holdsExactly(const QVariantMap &dictionary, const QString &key, const QString &identifier)
{
    const QVariant value = dictionary.value(key);
    return value.typeId() == QMetaType::QString && value.toString() == identifier;
}

QString textOf(const QVariantMap &dictionary, const QString &key)
{
    const QVariant value = dictionary.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace

qsizetype HMIdentifierGraph::indexOfFirstMatch(Key key, const QString &identifier) const
{
    const QString &keyName = key == Key::HmUid ? kHmUidKey : kNativeIdKey;
    qsizetype first = -1;
    for (qsizetype index = 0; index < m_identifierDictionaries.size(); ++index) {
        if (!holdsExactly(m_identifierDictionaries.at(index), keyName, identifier))
            continue;
        if (first >= 0) {
            DDLogWarn(QStringLiteral("Multiple identifier dictionaries found, picking one to stop duplications."));
            break;
        }
        first = index;
    }
    return first;
}

std::optional<QVariantMap> HMIdentifierGraph::dictionaryForHarrowmereUid(const QString &hmUid) const
{
    const qsizetype index = indexOfFirstMatch(Key::HmUid, hmUid);
    if (index < 0)
        return std::nullopt;
    return m_identifierDictionaries.at(index);
}

std::optional<QVariantMap> HMIdentifierGraph::dictionaryForNativeId(const QString &nativeId) const
{
    const qsizetype index = indexOfFirstMatch(Key::NativeId, nativeId);
    if (index < 0)
        return std::nullopt;
    return m_identifierDictionaries.at(index);
}

QString HMIdentifierGraph::harrowmereUidForNativeId(const QString &nativeId) const
{
    const qsizetype index = indexOfFirstMatch(Key::NativeId, nativeId);
    return index < 0 ? QString() : textOf(m_identifierDictionaries.at(index), kHmUidKey);
}

QString HMIdentifierGraph::nativeIdForHarrowmereUid(const QString &hmUid) const
{
    const qsizetype index = indexOfFirstMatch(Key::HmUid, hmUid);
    return index < 0 ? QString() : textOf(m_identifierDictionaries.at(index), kNativeIdKey);
}

qsizetype HMIdentifierGraph::removeLooseMatches(const QString &hmUid)
{
    const LooseMatcher matcher(hmUid);
    return m_identifierDictionaries.removeIf(
        [&matcher](const QVariantMap &dictionary) { return matcher.matches(dictionary.value(kHmUidKey)); });
}

void HMIdentifierGraph::setDictionary(const std::optional<QVariantMap> &dictionary, const QString &hmUid)
{
    const qsizetype removed = removeLooseMatches(hmUid);
    if (removed >= 2)
        DDLogWarn(QStringLiteral("Multiple identifier dictionaries found, deleting all and adding new one."));
    else if (removed == 0)
        DDLogWarn(QStringLiteral("No identifier found for Uid '%1'").arg(hmUid));
    if (dictionary)
        m_identifierDictionaries.append(*dictionary);
}

void HMIdentifierGraph::removeDictionaryForHarrowmereUid(const QString &hmUid)
{
    platform::consoleLog(QStringLiteral("removeDictionaryForHarrowmereUid"));
    if (removeLooseMatches(hmUid) == 0)
        DDLogWarn(QStringLiteral("No identifier found for Uid '%1'").arg(hmUid));
}

void HMIdentifierGraph::logGraph() const
{
    DDLogInfo(QStringLiteral("-------- Logging Identifier Graph --------"));
    const bool isVerbose = (ddLogLevel.load(std::memory_order_relaxed) & LOG_FLAG_VERBOSE) != 0;
    for (const QVariantMap &dictionary : m_identifierDictionaries) {
        DDLogInfo(QStringLiteral("Native ID: %1 \t UID: %2")
                      .arg(dictionary.value(kNativeIdKey).toString(), dictionary.value(kHmUidKey).toString()));
        if (!isVerbose)
            continue;
        for (auto entry = dictionary.constBegin(); entry != dictionary.constEnd(); ++entry)
            DDLogInfo(QStringLiteral("'%1' => '%2'").arg(entry.key(), entry.value().toString()));
    }
    DDLogInfo(QStringLiteral("--------   End Identifier Graph   --------"));
}

QString HMIdentifierGraph::archiveClassName() const
{
    return QStringLiteral("HMIdentifierGraph");
}

void HMIdentifierGraph::encodeWithCoder(platform::KeyedArchiver &coder) const
{
    QVariantList dictionaries;
    dictionaries.reserve(m_identifierDictionaries.size());
    for (const QVariantMap &dictionary : m_identifierDictionaries)
        dictionaries.append(dictionary);
    coder.encodeObject(QVariant(dictionaries), kIdentifierDictionariesKey);
    coder.encodeObject(QVariant(m_lastSyncDate), kLastSyncDateKey);
}

void HMIdentifierGraph::initWithCoder(platform::KeyedUnarchiver &coder)
{
    m_identifierDictionaries.clear();
    m_lastSyncDate = QDateTime();

    const QVariant dictionaries = coder.decodeObject(kIdentifierDictionariesKey);
    if (dictionaries.isValid() && dictionaries.typeId() != QMetaType::QVariantList) {
        coder.failWithError(
            Error(ErrorCode::DataMalformed, QStringLiteral("\"identifierDictionaries\" is not a list")));
        return;
    }
    const QVariantList entries = dictionaries.toList();
    m_identifierDictionaries.reserve(entries.size());
    for (qsizetype index = 0; index < entries.size(); ++index) {
        if (entries.at(index).typeId() != QMetaType::QVariantMap) {
            coder.failWithError(Error(ErrorCode::DataMalformed,
                                      QStringLiteral("identifier dictionary %1 is not a dictionary").arg(index)));
            return;
        }
        m_identifierDictionaries.append(entries.at(index).toMap());
    }

    const QVariant date = coder.decodeObject(kLastSyncDateKey);
    if (date.isValid() && date.typeId() != QMetaType::QDateTime) {
        coder.failWithError(Error(ErrorCode::DataMalformed, QStringLiteral("\"lastSyncDate\" is not a date")));
        return;
    }
    m_lastSyncDate = date.toDateTime();
}
