#include "platform/foundation/PlatformError.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace platform;

TEST(PlatformError, DescribesItselfLikeThePlatform)
{
    const PlatformError outlook = PlatformError::withDescription(QStringLiteral("error domain"), 200,
                                                                 QStringLiteral("Some records were not synchronized."));
    EXPECT_EQ(outlook.domain(), QStringLiteral("error domain"));
    EXPECT_EQ(outlook.code(), 200);
    EXPECT_EQ(outlook.localizedDescription(), QStringLiteral("Some records were not synchronized."));
    EXPECT_EQ(outlook.localizedFailureReason(), QString());

    const PlatformError bare(QString::fromLatin1(NSURLErrorDomain), -1004);
    EXPECT_EQ(bare.localizedDescription().toStdString(),
              "The operation couldn\u2019t be completed. (NSURLErrorDomain error -1004.)");
    EXPECT_EQ(bare.description().toStdString(),
              "Error Domain=NSURLErrorDomain Code=-1004 \"The operation couldn\u2019t be completed. "
              "(NSURLErrorDomain error -1004.)\" UserInfo={}");

    const PlatformError missing = PlatformError::fromErrno(ENOENT, QStringLiteral("opening errorlog.plist"));
    EXPECT_EQ(missing.domain(), QStringLiteral("NSPOSIXErrorDomain"));
    EXPECT_EQ(missing.code(), ENOENT);
    EXPECT_EQ(missing.localizedDescription(), QStringLiteral("No such file or directory"));
    EXPECT_EQ(missing.localizedFailureReason(), QStringLiteral("opening errorlog.plist"));

    const PlatformError wrapped(QStringLiteral("GCDAsyncUdpSocketErrorDomain"), 5,
                                {{QString::fromLatin1(NSLocalizedDescriptionKey), QStringLiteral("Send failed")},
                                 {QString::fromLatin1(NSUnderlyingErrorKey), QVariant::fromValue(missing)}});
    EXPECT_EQ(wrapped.description().toStdString(),
              "Error Domain=GCDAsyncUdpSocketErrorDomain Code=5 \"Send failed\" UserInfo={NSLocalizedDescription=Send "
              "failed, NSUnderlyingError=Error Domain=NSPOSIXErrorDomain Code=2 \"No such file or directory\" "
              "UserInfo={NSLocalizedDescription=No such file or directory, NSLocalizedFailureReason=opening "
              "errorlog.plist}}");

    // A description entry that is not text falls back to the general text; errno of the POSIX domain
    // without a description is named by the system.
    const PlatformError numberDescription(QStringLiteral("d"), 1,
                                          {{QString::fromLatin1(NSLocalizedDescriptionKey), 5}});
    EXPECT_EQ(numberDescription.localizedDescription().toStdString(),
              "The operation couldn\u2019t be completed. (d error 1.)");
    EXPECT_EQ(PlatformError(QString::fromLatin1(NSPOSIXErrorDomain), EACCES).localizedDescription().toStdString(),
              "The operation couldn\u2019t be completed. Permission denied");

    EXPECT_TRUE(PlatformError().isNull());
    EXPECT_FALSE(outlook.isNull());
    EXPECT_EQ(outlook, PlatformError::withDescription(QStringLiteral("error domain"), 200,
                                                      QStringLiteral("Some records were not synchronized.")));
}
