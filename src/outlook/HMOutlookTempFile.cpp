#include "outlook/HMOutlookTempFile.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hmoutlook {

QString tempFilePath(const QString &dataFolder, const QString &name)
{
    const QString folder = dataFolder + QStringLiteral("/temp");
    if (!QFileInfo(folder).isDir())
        ::mkdir(QFile::encodeName(folder).constData(), 0700);
    return folder + u'/' + name;
}

// A file left by the previous write is overwritten in place and then cut to the new length: a file
// emptied on open is flushed to disk when closed (ext4 does so for files truncated to nothing), which
// for a file rewritten once a record costs more than the write itself.
bool writeTempFile(const QString &path, const QByteArray &bytes)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t step = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (step <= 0)
            break;
        done += step;
    }
    const bool isCut = done == bytes.size() && ::ftruncate(fd, off_t(done)) == 0;
    return ::close(fd) == 0 && isCut;
}

void waitPastSecondOf(QDateTime &moment)
{
    if (!moment.isValid())
        return;
    const qint64 nextSecondMs = (moment.toMSecsSinceEpoch() / 1000 + 1) * 1000;
    const qint64 waitMs = nextSecondMs - QDateTime::currentMSecsSinceEpoch();
    if (waitMs > 0)
        QThread::msleep(static_cast<unsigned long>(waitMs));
    moment = QDateTime();
}

} // namespace hmoutlook
