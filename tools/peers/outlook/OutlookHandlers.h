#pragma once

#include "OutlookScripts.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>

#include <deque>
#include <optional>

namespace outlookpeer {

// The handlers of the user's automation script, as the peer answers handler-call events ('ascr' /
// 'psbr', the handler's name under 'snam', its arguments as a list under '----'). See README.md for
// what each answers. Every handler the application may call is known with its argument count; an
// unknown name is -1708 and a wrong count -1721. Each call is logged (name, arguments and the event's
// attributes) for the tests to read back.
//
// The ranged handlers answer a slice of one whole text or list, which is worked out once and kept
// until the store changes (forgetAnswers), as the script would keep it between the calls of one
// paging. Not thread-safe: the peer calls it under its own lock.
class HandlerCalls final
{
public:
    // The handler's name and its arguments, as the event carried them.
    struct Call
    {
        QString handler;
        std::vector<Descriptor> arguments;
    };

    ScriptOutcome answer(const Descriptor &event, ScriptContext &context);
    void forgetAnswers();
    // The calls received since the last take, oldest first (at most kMaxLoggedCalls); forgets them.
    QJsonArray takeLog();

    static constexpr qsizetype kMaxLoggedCalls = 1000;

    // The kept whole texts and lists of the ranged handlers, by a key naming the handler's data and
    // its arguments other than the range; nullptr when not kept.
    const QString *keptText(const QString &key) const;
    const QString &keepText(const QString &key, const QString &text);
    const QList<RecordStamp> *keptStamps(const QString &key) const;
    const QList<RecordStamp> &keepStamps(const QString &key, const QList<RecordStamp> &stamps);

private:
    // A call as logged: kept as it came and made into JSON only when the log is taken, so that
    // logging costs an answer next to nothing.
    struct LoggedCall
    {
        Call call;
        Code eventClass = 0;
        Code eventID = 0;
        qint32 returnID = 0;
        qint32 transactionID = 0;
        std::optional<Descriptor> target;
    };
    static QJsonObject logEntry(const LoggedCall &logged);
    void logCall(const Descriptor &event, const Call &call);

    // A few pagings at a time are enough; more are dropped whole rather than grown without bound.
    static constexpr qsizetype kMaxKeptAnswers = 16;
    QHash<QString, QString> m_texts;
    QHash<QString, QList<RecordStamp>> m_stamps;
    std::deque<LoggedCall> m_log;
};

} // namespace outlookpeer
