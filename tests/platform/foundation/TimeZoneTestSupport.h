#pragma once

#include "platform/foundation/TimeZone.h"

#include <QDateTime>
#include <QString>

#include <gtest/gtest.h>

namespace testsupport {

// The moment an ISO 8601 text names, in UTC ("2024-07-15T21:05:09.042Z").
inline QDateTime utc(const char *isoText)
{
    const QDateTime date = QDateTime::fromString(QString::fromLatin1(isoText), Qt::ISODateWithMs);
    EXPECT_TRUE(date.isValid()) << isoText;
    return date.toUTC();
}

// A zone every system has; the test stops when it is missing.
inline platform::TimeZone zone(const char *name)
{
    return platform::TimeZone::named(QString::fromLatin1(name)).value();
}

} // namespace testsupport
