#include "LegacyStoreFile.h"

#include "StoreLines.h"
#include "platform/foundation/FileIO.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>

namespace hmsync {

namespace {

using Conduits = std::array<QJsonObject, 5>;

// Takes what a conduit's part of the file, or of a log line, holds: records replace or remove records,
// and the lists replace the lists.
void mergeConduit(QJsonObject &into, const QJsonObject &part)
{
    QJsonObject records = into.value(QLatin1String("records")).toObject();
    for (const QJsonValue &removed : part.value(QLatin1String("removedRecords")).toArray())
        records.remove(removed.toString());
    const QJsonObject changed = part.value(QLatin1String("records")).toObject();
    for (auto it = changed.constBegin(); it != changed.constEnd(); ++it)
        records.insert(it.key(), it.value());
    into.insert(QLatin1String("records"), records);
    for (const QLatin1String key :
         {QLatin1String("deletions"), QLatin1String("ownIdMap"), QLatin1String("lastSyncStart")}) {
        if (part.contains(key))
            into.insert(key, part.value(key));
    }
}

// Applies the old log's lines after its header when the header names the file's generation, up to a
// torn or damaged line.
void mergeLog(const QString &logPath, qint64 generation, Conduits &conduits)
{
    const platform::Result<QByteArray> log = platform::readWholeFile(logPath);
    const QByteArray header = storelines::logHeader(generation);
    if (!log || !log->startsWith(header))
        return;
    qsizetype start = header.size();
    // Bounded by the log's length: every pass consumes at least one byte.
    for (qsizetype end = log->indexOf('\n', start); end >= 0; start = end + 1, end = log->indexOf('\n', start)) {
        const QJsonDocument line = QJsonDocument::fromJson(log->mid(start, end - start));
        if (!line.isObject())
            return;
        for (quint64 conduit = 1; conduit <= 4; ++conduit)
            mergeConduit(conduits[conduit], line.object().value(QString::number(conduit)).toObject());
    }
}

// A conduit's part in lines, counted into lineCount.
QByteArray conduitLines(quint64 conduit, const QJsonObject &part, qint64 &lineCount)
{
    QByteArray lines;
    const QJsonObject records = part.value(QLatin1String("records")).toObject();
    for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
        const QJsonObject entry = it.value().toObject();
        lines += storelines::recordLine(conduit, it.key(), entry.value(QLatin1String("phoneId")).toString(),
                                        storelines::valueFromJson(entry.value(QLatin1String("changed"))).toDateTime(),
                                        storelines::valueFromJson(entry.value(QLatin1String("fields"))).toMap());
        ++lineCount;
    }
    for (const QLatin1String key :
         {QLatin1String("deletions"), QLatin1String("ownIdMap"), QLatin1String("lastSyncStart")}) {
        if (!part.contains(key))
            continue;
        lines += storelines::conduitLine(conduit, key, storelines::valueFromJson(part.value(key)));
        ++lineCount;
    }
    return lines;
}

} // namespace

bool convertLegacyStoreFile(const QString &path, QString &problem)
{
    platform::Result<QByteArray> bytes = platform::readWholeFile(path);
    if (!bytes) {
        problem = bytes.error().message();
        return false;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    bytes = QByteArray();
    if (!document.isObject()) {
        problem = QStringLiteral("not a JSON object: %1").arg(parseError.errorString());
        return false;
    }
    const QJsonObject root = document.object();
    const qint64 generation = root.value(QLatin1String("generation")).toInteger();
    Conduits conduits;
    for (quint64 conduit = 1; conduit <= 4; ++conduit)
        mergeConduit(conduits[conduit], root.value(QString::number(conduit)).toObject());
    const QString logPath = path + QStringLiteral(".log");
    mergeLog(logPath, generation, conduits);
    QByteArray converted = storelines::fileHeader(generation + 1);
    qint64 lineCount = 0;
    for (quint64 conduit = 1; conduit <= 4; ++conduit)
        converted += conduitLines(conduit, conduits[conduit], lineCount);
    converted += storelines::commitLine(lineCount);
    const platform::Status written =
        platform::writeFileAtomically(path, converted, platform::FilePermissions::OwnerOnly);
    if (!written) {
        problem = written.error().message();
        return false;
    }
    QFile::remove(logPath);
    return true;
}

} // namespace hmsync
