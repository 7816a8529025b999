#include "sync/HMSyncConduitData.h"

#include <gtest/gtest.h>

TEST(HMSyncConduitData, NamesConduitsOneToFourAndMarksOthersWithADash)
{
    const struct Row
    {
        quint64 conduit;
        const char *identifier;
        const char *letter;
    } rows[] = {{0, "", "-"}, {1, "Contact", "A"}, {2, "Calendar", "D"}, {3, "Todo", "T"}, {4, "Memo", "M"}, {5, "", "-"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.conduit);
        const HMSyncConduitData data(row.conduit);
        EXPECT_EQ(data.conduit(), row.conduit);
        EXPECT_EQ(data.conduitIdentifierString(), QLatin1String(row.identifier));
        EXPECT_EQ(data.conduitShortIdentifierString(), QLatin1String(row.letter));
        EXPECT_FALSE(data.syncEnabled());
        EXPECT_EQ(data.appleAdds() + data.appleUpdates() + data.appleDeletes() + data.deviceAdds() + data.deviceUpdates()
                      + data.deviceDeletes() + data.appleRecordCount() + data.deviceRecordCount(),
                  0);
    }
}

TEST(HMSyncConduitData, TwoConduitsNeverShareTheirDeviceChangedIds)
{
    HMSyncConduitData contacts(1);
    HMSyncConduitData calendar(2);
    QSet<QString> changed = {QStringLiteral("device-1")};
    contacts.setHmUidsModifiedByDevice(changed);
    changed.insert(QStringLiteral("device-2"));
    calendar.setHmUidsModifiedByDevice(changed);
    EXPECT_EQ(contacts.hmUidsModifiedByDevice(), QSet<QString>({QStringLiteral("device-1")}));
    EXPECT_EQ(calendar.hmUidsModifiedByDevice().size(), 2);
    // A later page's ids join the conduit's own, and the caller's set stays as it was.
    const QSet<QString> nextPage = {QStringLiteral("device-2"), QStringLiteral("device-3")};
    contacts.addHmUidsModifiedByDevice(nextPage);
    EXPECT_EQ(contacts.hmUidsModifiedByDevice(),
              QSet<QString>({QStringLiteral("device-1"), QStringLiteral("device-2"), QStringLiteral("device-3")}));
    EXPECT_EQ(nextPage.size(), 2);
    EXPECT_EQ(calendar.hmUidsModifiedByDevice().size(), 2);

    // A first page joins an empty set as it is; the page's set changing later changes nothing here.
    HMSyncConduitData tasks(3);
    QSet<QString> firstPage = {QStringLiteral("task-1")};
    tasks.addHmUidsModifiedByDevice(firstPage);
    firstPage.insert(QStringLiteral("task-2"));
    tasks.addHmUidsModifiedByDevice(nextPage);
    EXPECT_EQ(tasks.hmUidsModifiedByDevice(),
              QSet<QString>({QStringLiteral("task-1"), QStringLiteral("device-2"), QStringLiteral("device-3")}));
}
