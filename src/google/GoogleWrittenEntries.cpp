#include "google/GoogleWrittenEntries.h"

#include "google/GoogleContactFeed.h"
#include "outlook/HMOutlookDatFileHelper.h"

#include <QFile>
#include <QSaveFile>
#include <QFileInfo>

namespace {

// About 200 bytes a line: room for a million answers.
constexpr qint64 kMaxBytes = 256LL * 1024 * 1024;

} // namespace

GoogleWrittenEntries &GoogleWrittenEntries::ofConduit(std::shared_ptr<GoogleWrittenEntries> &slot,
                                                     HMOutlookDatFileHelper::Conduit conduit)
{
    if (!slot)
        slot = std::make_shared<GoogleWrittenEntries>(HMOutlookDatFileHelper().filePath(conduit) +
                                                      QStringLiteral(".google-written"));
    return *slot;
}

QHash<QString, QString> GoogleWrittenEntries::load() const
{
    QHash<QString, QString> entries;
    const QFileInfo info(m_file.path());
    if (!info.exists() || info.isSymLink() || !info.isFile())
        return entries;
    QFile file(m_file.path());
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    const QList<QByteArray> lines = file.read(kMaxBytes).split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype tab = line.indexOf('\t');
        if (tab > 0)
            entries.insert(QString::fromUtf8(line.left(tab)), QString::fromUtf8(line.mid(tab + 1)));
    }
    return entries;
}

// One write of the whole line with O_APPEND: a kill leaves the line whole or a last partial line,
// which load() reads as a different "updated" and so as a change (never as a lost one).
bool GoogleWrittenEntries::append(const QString &googleId, const QString &updated)
{
    return append(QList<std::pair<QString, QString>>{{googleId, updated}});
}

bool GoogleWrittenEntries::append(const QList<std::pair<QString, QString>> &entries)
{
    QByteArray line;
    for (const auto &[googleId, updated] : entries) {
        if (googleId.contains(u'\n') || googleId.contains(u'\t') || updated.contains(u'\n'))
            return false;
        line += googleId.toUtf8() + '\t' + updated.toUtf8() + '\n';
    }
    return m_file.append(line);
}

bool GoogleWrittenEntries::compact()
{
    const QHash<QString, QString> entries = load();
    QFile file(m_file.path());
    const QFileInfo info(m_file.path());
    if (!info.isFile() || info.isSymLink() || !file.open(QIODevice::ReadOnly))
        return true;
    const qsizetype lines = file.read(kMaxBytes).count('\n');
    file.close();
    if (lines <= 2 * entries.size())
        return true;
    m_file.close();
    QSaveFile out(m_file.path());
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (auto it = entries.begin(); it != entries.end(); ++it)
        out.write(it.key().toUtf8() + '\t' + it.value().toUtf8() + '\n');
    return out.commit();
}

bool GoogleWrittenEntries::clear()
{
    m_file.close();
    return !QFile::exists(m_file.path()) || QFile::remove(m_file.path());
}

namespace googlelistdate {

QString path(Conduit conduit)
{
    return HMOutlookDatFileHelper().filePath(conduit) + QStringLiteral(".google-list-date");
}

bool write(const QDateTime &date, Conduit conduit)
{
    QSaveFile file(path(conduit));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(googlecontactfeed::updatedText(date).toLatin1());
    return file.commit();
}

QDateTime refine(const QDateTime &mapDate, Conduit conduit)
{
    if (!mapDate.isValid())
        return mapDate;
    const QFileInfo info(path(conduit));
    QFile file(path(conduit));
    if (!info.isFile() || info.isSymLink() || !file.open(QIODevice::ReadOnly))
        return mapDate;
    const QDateTime precise = googlecontactfeed::dateOfUpdated(QString::fromLatin1(file.read(64)).trimmed());
    if (precise.isValid() && precise >= mapDate && precise.toMSecsSinceEpoch() < mapDate.toMSecsSinceEpoch() + 1000)
        return precise;
    return mapDate;
}

QDateTime storedByListing(Conduit conduit)
{
    const std::optional<QVariantMap> map = HMOutlookDatFileHelper().dictionaryForDatFile(conduit);
    const QDateTime mapDate = map ? map->value(QStringLiteral("ListCommandDate")).toDateTime() : QDateTime();
    return mapDate.isValid() ? refine(mapDate.addSecs(-1), conduit) : QDateTime();
}

} // namespace googlelistdate

namespace googlesenttimes {

namespace {

constexpr qint64 kClockMarginSeconds = 24 * 60 * 60;

} // namespace

GoogleWrittenEntries file(Conduit conduit)
{
    return GoogleWrittenEntries(HMOutlookDatFileHelper().filePath(conduit) + QStringLiteral(".google-sent"));
}

bool keep(Conduit conduit, const QStringList &outlookIds, const QDateTime &now)
{
    const QString time = googlecontactfeed::updatedText(now);
    QList<std::pair<QString, QString>> lines;
    for (const QString &outlookId : outlookIds) {
        if (!outlookId.isEmpty() && !outlookId.contains(u'\t') && !outlookId.contains(u'\n'))
            lines.append({outlookId, time});
    }
    return file(conduit).append(lines);
}

QDateTime listingBound(Conduit conduit)
{
    QDateTime earliest;
    const QHash<QString, QString> kept = file(conduit).load();
    for (const QString &text : kept) {
        const QDateTime sent = googlecontactfeed::dateOfUpdated(text);
        if (sent.isValid() && (!earliest.isValid() || sent < earliest))
            earliest = sent;
    }
    return earliest.isValid() ? earliest.addSecs(-kClockMarginSeconds) : QDateTime();
}

} // namespace googlesenttimes
