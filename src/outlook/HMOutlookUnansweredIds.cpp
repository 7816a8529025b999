#include "outlook/HMOutlookUnansweredIds.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace outlookunanswered {

namespace {

// Outlook ids are short: room for a few hundred thousand records.
constexpr qint64 kMaxBytes = 16LL * 1024 * 1024;

} // namespace

QString path(Conduit conduit)
{
    return HMOutlookDatFileHelper().filePath(conduit) + QStringLiteral(".google-unanswered");
}

QSet<QString> read(Conduit conduit)
{
    QSet<QString> ids;
    const QFileInfo info(path(conduit));
    QFile file(info.filePath());
    if (!info.exists() || info.isSymLink() || !info.isFile() || !file.open(QIODevice::ReadOnly))
        return ids;
    for (const QByteArray &line : file.read(kMaxBytes).split('\n')) {
        if (!line.trimmed().isEmpty())
            ids.insert(QString::fromUtf8(line.trimmed()));
    }
    return ids;
}

bool keep(Conduit conduit, const QStringList &outlookIds)
{
    QByteArray text;
    for (const QString &outlookId : outlookIds) {
        if (!outlookId.trimmed().isEmpty() && !outlookId.contains(u'\n') && !outlookId.contains(u'\r'))
            text += outlookId.trimmed().toUtf8() + '\n';
    }
    const QFileInfo info(path(conduit));
    // QSaveFile would write through a link: a link there goes first, and its target stays untouched.
    if ((text.isEmpty() || info.isSymLink()) && (info.exists() || info.isSymLink()) && !QFile::remove(info.filePath()))
        return false;
    if (text.isEmpty())
        return true;
    QSaveFile file(info.filePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return file.write(text) == text.size() && file.commit();
}

} // namespace outlookunanswered
