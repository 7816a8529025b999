#include "platform/foundation/Result.h"

#include <gtest/gtest.h>

using platform::Error;
using platform::ErrorCode;
using platform::Result;

namespace {

Result<int> parsePositive(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value <= 0)
        return Error(ErrorCode::DataMalformed, QStringLiteral("not a positive number: \"%1\"").arg(text));
    return value;
}

} // namespace

TEST(Result, CarriesTheValueOrTheErrorWithContext)
{
    const Result<int> good = parsePositive(QStringLiteral("42"));
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 42);

    const Result<int> bad = parsePositive(QStringLiteral("-1"));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().code(), ErrorCode::DataMalformed);
    EXPECT_EQ(bad.error().withContext(QStringLiteral("settings.plist")).message().toStdString(),
              "settings.plist: not a positive number: \"-1\"");
    EXPECT_EQ(bad.valueOr(7), 7);
}
