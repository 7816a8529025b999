#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <string>

// One log call, built on the caller's thread and immutable afterwards, so the loggers of a message
// may read it at the same time from their own queues. Shared as std::shared_ptr<const DDLogMessage>.
class DDLogMessage final
{
public:
    // Fills every field from the arguments and from the calling thread: the moment (from the
    // process clock), the kernel thread id, the thread's name and the label of the dispatch queue
    // the call runs on. file and function must stay valid for the life of the process (they are
    // the __FILE__ and __func__ of the log site).
    DDLogMessage(const QString &logMsg, int32_t level, int32_t flag, int32_t context, const char *file,
                 const char *function, int32_t line, const void *tag);

    const QString &logMsg() const { return m_logMsg; }
    int32_t logLevel() const { return m_logLevel; }
    int32_t logFlag() const { return m_logFlag; }
    int32_t logContext() const { return m_logContext; }
    const QDateTime &timestamp() const { return m_timestamp; }
    const char *file() const { return m_file; }
    const char *function() const { return m_function; }
    int32_t lineNumber() const { return m_lineNumber; }
    uint32_t machThreadID() const { return m_machThreadID; }
    // The label of the queue the call ran on; empty when it ran on no queue.
    const std::string &queueLabel() const { return m_queueLabel; }
    // The name of the calling thread; null when it has none.
    const QString &threadName() const { return m_threadName; }
    const void *tag() const { return m_tag; }

    // machThreadID in lower-case hexadecimal without leading zeros.
    QString threadID() const;
    // The source file's name without folder and extension; null when there is no file.
    QString fileName() const;
    // The calling function's name; null when there is none.
    QString methodName() const;

private:
    QString m_logMsg;
    int32_t m_logLevel;
    int32_t m_logFlag;
    int32_t m_logContext;
    QDateTime m_timestamp;
    const char *m_file;
    const char *m_function;
    int32_t m_lineNumber;
    uint32_t m_machThreadID = 0;
    std::string m_queueLabel;
    QString m_threadName;
    const void *m_tag;
};

// The part of a path after its last "/" (or all of it when it has none) up to the last "." of that
// part (or to its end when it has none); null for a null path. A dot in a folder name is not taken
// for the start of an extension.
QString DDFileNameWithoutExtension(const char *filePath);
