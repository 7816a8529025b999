#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>

namespace hmsync {

// One file of the memory store's lines, read at offsets and appended to. Without a path it keeps its
// lines in memory (a store that has no file). Appends are buffered and written when the buffer fills
// or at flush(); bytes that could not be written stay in the buffer, so reading them still works and
// the next flush tries again. Files are opened only when regular, never through a link, and created
// 0600. Not thread-safe: the store calls it with its mutex held.
class StoreLineFile final
{
public:
    // Answers false to stop the scan.
    using LineHandler = std::function<bool(qint64 offset, QByteArrayView line)>;

    StoreLineFile() = default;
    ~StoreLineFile();
    StoreLineFile(const StoreLineFile &) = delete;
    StoreLineFile &operator=(const StoreLineFile &) = delete;

    // An existing file, for reading; false, with the problem, when it cannot be opened or is too big.
    bool openForReading(const QString &path, QString &problem);
    // The file, made when missing, for reading and appending.
    bool openForWriting(const QString &path, QString &problem);
    // Keeps the file's first keptBytes bytes only; called with nothing buffered.
    bool cutOff(qint64 keptBytes, QString &problem);
    // Back to an empty file in memory.
    void close();
    bool isOpen() const { return m_descriptor >= 0; }
    // Whether the file's path still names the open file (or none is open): another program may have
    // removed or replaced it, and what is appended then would be lost with it.
    bool isAtItsPath() const;
    // The file's bytes, buffered ones included.
    qint64 size() const { return m_writtenBytes + m_buffer.size(); }
    // The bytes in the file itself.
    qint64 writtenBytes() const { return m_writtenBytes; }

    // Answers where the bytes begin.
    qint64 append(const QByteArray &bytes);
    bool flush(QString &problem);
    // Flushes, then makes what was written durable.
    bool sync(QString &problem);
    std::optional<QByteArray> read(qint64 offset, qint64 length) const;
    // Hands each whole line (without its newline) to onLine in order. A last line without its newline
    // is not handed on, nor anything after a line longer than any line may be. False when the file
    // cannot be read.
    bool scanLines(const LineHandler &onLine, QString &problem) const;

private:
    bool openDescriptor(const QString &path, int flags, QString &problem);

    QString m_path;
    int m_descriptor = -1;
    qint64 m_writtenBytes = 0;
    QByteArray m_buffer;
};

} // namespace hmsync
