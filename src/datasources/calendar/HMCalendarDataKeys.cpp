#include "datasources/calendar/HMCalendarDataKeys.h"

#include <QByteArray>
#include <QHash>

namespace hmcalendar {

// The names are the sync field constants, a small fixed set: the table stays as small.
QString key(QLatin1StringView name)
{
    thread_local QHash<QByteArray, QString> made;
    const auto found = made.constFind(QByteArray::fromRawData(name.data(), name.size()));
    if (found != made.constEnd())
        return *found;
    const QString text(name);
    made.insert(QByteArray(name.data(), name.size()), text);
    return text;
}

} // namespace hmcalendar
