#pragma once

#include "platform/foundation/FileSystem.h"

#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

// One log file on disk: its path, name, attributes, dates, size and age, and whether it is finished
// ("archived"), a mark kept in an extended attribute of the file so that it survives restarts.
// Nothing is read from disk until asked, and what was read is kept until reset(). Used by one thread
// at a time.
class DDLogFileInfo final
{
public:
    static std::shared_ptr<DDLogFileInfo> logFileWithPath(const QString &filePath);

    explicit DDLogFileInfo(const QString &filePath);

    const QString &filePath() const { return m_filePath; }
    QString fileName() const;
    // The file system's attributes; nullopt when they cannot be read (the file is gone).
    const std::optional<platform::FileAttributes> &fileAttributes();
    // Null when the attributes cannot be read.
    QDateTime creationDate();
    QDateTime modificationDate();
    // Once read as other than 0, the size is kept, even by reset().
    quint64 fileSize();
    // Seconds from the creation date to now (by the process clock); 0 when the date is unknown.
    double age();

    bool isArchived() const;
    void setIsArchived(bool isArchived);
    bool hasExtendedAttributeWithName(const QString &attributeName) const;
    // Failures are written to the console.
    void addExtendedAttributeWithName(const QString &attributeName);
    void removeExtendedAttributeWithName(const QString &attributeName);

    // Moves the file to the new name in the same folder; the record follows it even when the move
    // fails (the failure is written to the console).
    void renameFile(const QString &newFileName);
    // Forgets the attributes and dates read so far.
    void reset();

    bool operator==(const DDLogFileInfo &other) const { return m_filePath == other.m_filePath; }
    // Compare with the order reversed, so that sorting by them puts the newest first: negative when
    // this file is newer, positive when older, 0 for equal dates.
    int reverseCompareByCreationDate(DDLogFileInfo &other);
    int reverseCompareByModificationDate(DDLogFileInfo &other);

    QString description();

private:
    QString m_filePath;
    bool m_hasReadAttributes = false;
    std::optional<platform::FileAttributes> m_fileAttributes;
    quint64 m_fileSize = 0;
};

// The extended attribute that marks a finished log file.
inline constexpr const char *kLogFileArchivedAttribute = "lumberjack.log.archived";
