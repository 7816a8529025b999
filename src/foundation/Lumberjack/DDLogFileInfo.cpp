#include "foundation/Lumberjack/DDLogFileInfo.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/ConsoleLog.h"
#include "platform/foundation/ExtendedAttributes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

int reverseCompareDates(const QDateTime &mine, const QDateTime &theirs)
{
    if (mine == theirs)
        return 0;
    return mine > theirs ? -1 : 1;
}

} // namespace

std::shared_ptr<DDLogFileInfo> DDLogFileInfo::logFileWithPath(const QString &filePath)
{
    return std::make_shared<DDLogFileInfo>(filePath);
}

DDLogFileInfo::DDLogFileInfo(const QString &filePath)
    : m_filePath(filePath)
{
}

QString DDLogFileInfo::fileName() const
{
    return QFileInfo(m_filePath).fileName();
}

const std::optional<platform::FileAttributes> &DDLogFileInfo::fileAttributes()
{
    if (!m_hasReadAttributes) {
        m_hasReadAttributes = true;
        const platform::Result<platform::FileAttributes> attributes = platform::FileSystem::attributesOfItem(m_filePath);
        if (attributes)
            m_fileAttributes = *attributes;
        else
            m_fileAttributes.reset();
    }
    return m_fileAttributes;
}

QDateTime DDLogFileInfo::creationDate()
{
    const auto &attributes = fileAttributes();
    return attributes ? attributes->creationDate : QDateTime();
}

QDateTime DDLogFileInfo::modificationDate()
{
    const auto &attributes = fileAttributes();
    return attributes ? attributes->modificationDate : QDateTime();
}

quint64 DDLogFileInfo::fileSize()
{
    if (m_fileSize == 0) {
        const auto &attributes = fileAttributes();
        if (attributes && attributes->size > 0)
            m_fileSize = quint64(attributes->size);
    }
    return m_fileSize;
}

double DDLogFileInfo::age()
{
    const QDateTime created = creationDate();
    if (!created.isValid())
        return 0;
    return double(created.msecsTo(platform::Clock::now())) / 1000.0;
}

bool DDLogFileInfo::isArchived() const
{
    return hasExtendedAttributeWithName(QString::fromLatin1(kLogFileArchivedAttribute));
}

void DDLogFileInfo::setIsArchived(bool isArchived)
{
    if (isArchived)
        addExtendedAttributeWithName(QString::fromLatin1(kLogFileArchivedAttribute));
    else
        removeExtendedAttributeWithName(QString::fromLatin1(kLogFileArchivedAttribute));
}

bool DDLogFileInfo::hasExtendedAttributeWithName(const QString &attributeName) const
{
    return platform::ExtendedAttributes::has(m_filePath, attributeName);
}

void DDLogFileInfo::addExtendedAttributeWithName(const QString &attributeName)
{
    const platform::Status status = platform::ExtendedAttributes::set(m_filePath, attributeName);
    if (!status) {
        platform::consoleLog(QStringLiteral("DDLogFileInfo: setxattr(%1, %2): error = %3 (%4)")
                                 .arg(attributeName, fileName(), QString::number(-1), status.error().message()));
    }
}

void DDLogFileInfo::removeExtendedAttributeWithName(const QString &attributeName)
{
    const platform::Status status = platform::ExtendedAttributes::remove(m_filePath, attributeName);
    if (!status) {
        platform::consoleLog(QStringLiteral("DDLogFileInfo: removexattr(%1, %2): error = %3 (%4)")
                                 .arg(attributeName, fileName(), QString::number(-1), status.error().message()));
    }
}

void DDLogFileInfo::renameFile(const QString &newFileName)
{
    if (newFileName == fileName())
        return;
    const QString newFilePath = QFileInfo(m_filePath).dir().filePath(newFileName);
    if (!QFile::rename(m_filePath, newFilePath)) {
        platform::consoleLog(QStringLiteral("DDLogFileInfo: Error renaming file (%1): %2")
                                 .arg(fileName(), QStringLiteral("cannot move it to %1").arg(newFilePath)));
    }
    m_filePath = newFilePath;
    reset();
}

void DDLogFileInfo::reset()
{
    m_hasReadAttributes = false;
    m_fileAttributes.reset();
}

int DDLogFileInfo::reverseCompareByCreationDate(DDLogFileInfo &other)
{
    return reverseCompareDates(creationDate(), other.creationDate());
}

int DDLogFileInfo::reverseCompareByModificationDate(DDLogFileInfo &other)
{
    return reverseCompareDates(modificationDate(), other.modificationDate());
}

QString DDLogFileInfo::description()
{
    const QString dateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss +0000");
    return QStringLiteral("{\n    filePath = \"%1\";\n    fileName = \"%2\";\n    fileAttributes = %3;\n"
                          "    creationDate = \"%4\";\n    modificationDate = \"%5\";\n    fileSize = %6;\n"
                          "    age = %7;\n    isArchived = %8;\n}")
        .arg(m_filePath, fileName(), fileAttributes() ? QStringLiteral("{...}") : QStringLiteral("(null)"),
             creationDate().toUTC().toString(dateFormat), modificationDate().toUTC().toString(dateFormat))
        .arg(fileSize())
        .arg(age())
        .arg(isArchived() ? 1 : 0);
}
