#pragma once

#include "platform/applescript/NSAppleEventDescriptor.h"

#include <QDateTime>
#include <QList>
#include <QString>

// The console lines of the script bridge. Values in them (texts, events, date lists) are cut to
// kMaxLoggedCharacters, so that a megabyte of script output never becomes one console line.
namespace HMAppleScripterConsole {

constexpr qsizetype kMaxLoggedCharacters = 2000;

void log(const QString &line);
// The text as it stands, or its first kMaxLoggedCharacters followed by "... (<length> characters)".
QString bounded(const QString &text);
// A descriptor in short form: texts quoted, numbers bare, lists in [ ], records and events in { }
// with their keywords; an event starts with its class and ID ('ascr'\'psbr'). Bounded.
QString describe(const platform::NSAppleEventDescriptor &descriptor);
// "(" dates in ISO 8601, comma-separated ")"; an unreadable date shows as "(null)". Bounded.
QString describe(const QList<QDateTime> &dates);

} // namespace HMAppleScripterConsole
