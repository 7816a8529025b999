#pragma once

#include "platform/foundation/FileHandle.h"

#include <QByteArray>
#include <QString>

#include <memory>

// A file that only ever grows by whole lines: each append is one write() with O_APPEND, so a kill
// leaves every earlier line whole and at most a last partial one, and a failed write none. The file
// stays open between appends (a sync appends one line per record); it is opened again when the path
// no longer names the open file (removed, or replaced by a rewrite), never through a link, created
// 0600.
class HMAppendedLinesFile final
{
public:
    explicit HMAppendedLinesFile(QString path) : m_path(std::move(path)) {}
    ~HMAppendedLinesFile();
    // A copy names the same file and opens its own descriptor when it first appends.
    HMAppendedLinesFile(const HMAppendedLinesFile &other) : m_path(other.m_path) {}
    HMAppendedLinesFile &operator=(const HMAppendedLinesFile &other);

    const QString &path() const { return m_path; }
    // Writes the bytes (whole lines) with one write; false when the file cannot be opened or the
    // write is short.
    bool append(const QByteArray &lines);
    // Closes the descriptor, e.g. before the file is removed; the next append opens it again.
    void close();

private:
    bool isStale() const;

    QString m_path;
    std::unique_ptr<platform::FileHandle> m_file;
};
