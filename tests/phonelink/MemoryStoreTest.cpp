// The sync driver's memory store on disk: saves append only what changed to the log beside the file,
// a store with nothing new writes nothing, a log grown past the file is folded into it, and the states
// a crash leaves (a torn last line, a log beside a newer file) lose and revive nothing.
#include "MemoryDataSource.h"

#include "platform/foundation/Clock.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

const QDateTime kNow(QDate(2026, 12, 7), QTime(9, 30), Qt::UTC);

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void overwrite(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// The subjects of a conduit's records with their phone ids, and its deletions, as one text.
QString describeStore(const QString &path)
{
    hmsync::MemoryStore store;
    QString problem;
    if (!store.load(path, problem))
        return QStringLiteral("unreadable: ") + problem;
    QStringList parts;
    for (quint64 conduit = 1; conduit <= 4; ++conduit) {
        const QMap<QString, hmsync::StoredRecord> records = store.records(conduit);
        for (auto it = records.constBegin(); it != records.constEnd(); ++it) {
            parts.append(QStringLiteral("%1:%2@%3").arg(conduit).arg(it->fields.value(QStringLiteral("SUBJECT")).toString(),
                                                                     it->phoneId));
            if (!it->phoneId.isEmpty() && store.nativeIdForPhoneId(conduit, it->phoneId) != it.key())
                parts.append(QStringLiteral("phone id %1 not indexed").arg(it->phoneId));
        }
        for (const hmsync::DesktopDeletion &deletion : store.deletions(conduit))
            parts.append(QStringLiteral("%1:deleted %2").arg(conduit).arg(deletion.deletedAt.toString(Qt::ISODate)));
        if (store.lastSyncStart(conduit).isValid())
            parts.append(QStringLiteral("%1:since %2").arg(conduit).arg(store.lastSyncStart(conduit).toString(Qt::ISODate)));
    }
    parts.sort();
    return parts.join(QLatin1Char(' '));
}

class StoreFiles : public testing::Test
{
protected:
    void SetUp() override { platform::Clock::setSource([] { return kNow; }); }
    void TearDown() override { platform::Clock::setSource(nullptr); }

    QString path() const { return m_folder.filePath(QStringLiteral("desktop.json")); }
    QString logPath() const { return path() + QStringLiteral(".log"); }

    // A store written whole with two records, then three saves of changes.
    QStringList saveFourStates(hmsync::MemoryStore &store)
    {
        QString problem;
        EXPECT_TRUE(store.load(path(), problem));
        const QString first = store.addRecord(2, {{QStringLiteral("SUBJECT"), QStringLiteral("First")}});
        const QString second = store.addRecord(2, {{QStringLiteral("SUBJECT"), QStringLiteral("Second")}});
        EXPECT_TRUE(store.save(problem)) << problem.toStdString();
        QStringList states{describeStore(path())};

        store.putFromSync(2, first, {{QStringLiteral("SUBJECT"), QStringLiteral("First, from the phone")}}, QStringLiteral("D7"));
        store.addRecord(3, {{QStringLiteral("SUBJECT"), QStringLiteral("Task")}});
        EXPECT_TRUE(store.save(problem));
        states.append(describeStore(path()));

        store.deleteRecord(2, second);
        store.setLastSyncStart(2, kNow);
        EXPECT_TRUE(store.save(problem));
        states.append(describeStore(path()));

        store.setPhoneId(2, first, QStringLiteral("D8"));
        EXPECT_TRUE(store.save(problem));
        states.append(describeStore(path()));
        return states;
    }

    // Grows the log past a megabyte with one large memo, then saves a small one: the second save
    // writes the file whole. Answers whether it did.
    bool foldBySize(hmsync::MemoryStore &store)
    {
        QString problem;
        store.addRecord(4, {{QStringLiteral("SUBJECT"), QStringLiteral("Big")},
                            {QStringLiteral("NOTE"), QString(1100 * 1024, u'x')}});
        if (!store.save(problem) || !QFileInfo::exists(logPath()))
            return false;
        store.addRecord(4, {{QStringLiteral("SUBJECT"), QStringLiteral("Small")}});
        return store.save(problem) && !QFileInfo::exists(logPath());
    }

    QTemporaryDir m_folder;
};

} // namespace

TEST_F(StoreFiles, SavesAppendWhatChangedAndCompactingFoldsTheLog)
{
    hmsync::MemoryStore store;
    const QStringList states = saveFourStates(store);
    EXPECT_EQ(states.at(1), QStringLiteral("2:First, from the phone@D7 2:Second@ 3:Task@"));
    EXPECT_EQ(states.at(3), QStringLiteral("2:First, from the phone@D8 2:deleted 2026-12-07T09:30:00Z "
                                           "2:since 2026-12-07T09:30:00Z 3:Task@"));

    // The file holds the first state only; the log, one line per later save after its header.
    const QByteArray file = contentsOf(path());
    EXPECT_TRUE(file.contains("\"generation\":1")) << file.constData();
    const QList<QByteArray> lines = contentsOf(logPath()).split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines.at(0), QByteArrayLiteral("{\"logOf\":1}"));
    EXPECT_EQ(lines.at(3), QByteArrayLiteral(R"({"2":{"records":{")") + lines.at(3).mid(18, 36) +
                               QByteArrayLiteral(R"(":{"fields":{"SUBJECT":"First, from the phone"},"phoneId":"D8"}}}})"));

    // Saving with nothing new writes nothing.
    QString problem;
    EXPECT_FALSE(store.hasUnsavedChanges());
    ASSERT_TRUE(store.save(problem));
    EXPECT_EQ(contentsOf(path()), file);
    EXPECT_EQ(contentsOf(logPath()).count('\n'), 4);

    // A log that outgrew the file is folded into it at the next save.
    ASSERT_TRUE(foldBySize(store));
    EXPECT_FALSE(QFileInfo::exists(logPath()));
    EXPECT_TRUE(contentsOf(path()).contains("\"generation\":2"));
    EXPECT_EQ(describeStore(path()), states.last() + QStringLiteral(" 4:Big@ 4:Small@"));
}

TEST_F(StoreFiles, ATornLogLineIsIgnoredAndTheNextSaveKeepsEverything)
{
    {
        hmsync::MemoryStore store;
        saveFourStates(store);
    }
    const QByteArray file = contentsOf(path());
    const QByteArray log = contentsOf(logPath());
    const qsizetype lastLine = log.chopped(1).size() - log.chopped(1).lastIndexOf('\n');
    for (qsizetype cut = 1; cut < lastLine; cut += 7) {
        SCOPED_TRACE(cut);
        overwrite(path(), file);
        overwrite(logPath(), log.chopped(cut));
        hmsync::MemoryStore store;
        QString problem;
        ASSERT_TRUE(store.load(path(), problem));
        const QString before = describeStore(path());
        EXPECT_TRUE(before.contains(QStringLiteral("@D7"))) << before.toStdString();
        // Nothing goes after the torn line: the next save writes the file whole.
        EXPECT_TRUE(store.hasUnsavedChanges());
        store.addRecord(4, {{QStringLiteral("SUBJECT"), QStringLiteral("Memo")}});
        ASSERT_TRUE(store.save(problem));
        EXPECT_FALSE(QFileInfo::exists(logPath()));
        EXPECT_EQ(describeStore(path()), before + QStringLiteral(" 4:Memo@"));
    }
}

TEST_F(StoreFiles, ALogLeftBesideANewerFileIsIgnored)
{
    hmsync::MemoryStore store;
    saveFourStates(store);
    const QByteArray log = contentsOf(logPath());
    // The program ended after writing the file and before removing the log: the log's changes of
    // the first record and its phone ids must not be applied again over later changes.
    const QString first = store.nativeIdForPhoneId(2, QStringLiteral("D8"));
    store.putFromSync(2, first, {{QStringLiteral("SUBJECT"), QStringLiteral("Edited again")}}, QStringLiteral("D9"));
    ASSERT_TRUE(foldBySize(store));
    overwrite(logPath(), log);
    EXPECT_EQ(describeStore(path()), QStringLiteral("2:Edited again@D9 2:deleted 2026-12-07T09:30:00Z "
                                                    "2:since 2026-12-07T09:30:00Z 3:Task@ 4:Big@ 4:Small@"));
}

TEST_F(StoreFiles, DatesOfEveryFormComeBackExactlyFromTheFileAndTheLog)
{
    // Dates are read by a quick path for their usual form, and every one comes back as written:
    // first and last milliseconds, leap days, years before 1000.
    const QList<QDateTime> dates{QDateTime(QDate(2026, 1, 31), QTime(8, 0, 0, 250), Qt::UTC),
                                 QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59, 999), Qt::UTC),
                                 QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC),
                                 QDateTime(QDate(1, 1, 1), QTime(12, 0, 0, 1), Qt::UTC),
                                 QDateTime(QDate(999, 12, 31), QTime(0, 0, 0, 7), Qt::UTC)};
    QVariantMap fields{{QStringLiteral("SUBJECT"), QStringLiteral("Dated")}};
    QVariantList list;
    for (qsizetype index = 0; index < dates.size(); ++index) {
        fields.insert(QStringLiteral("DATE%1").arg(index), dates.at(index));
        list.append(dates.at(index));
    }
    fields.insert(QStringLiteral("DATES"), list);
    // A text shaped like a date stays a text.
    fields.insert(QStringLiteral("TEXT"), QStringLiteral("2026-01-31T08:00:00.250Z"));
    for (const bool intoTheLog : {false, true}) {
        SCOPED_TRACE(intoTheLog ? "log" : "file");
        hmsync::MemoryStore store;
        QString problem;
        ASSERT_TRUE(store.load(path(), problem));
        const QString id = store.addRecord(2, fields);
        ASSERT_TRUE(store.save(problem)) << problem.toStdString();
        EXPECT_EQ(QFileInfo::exists(logPath()), intoTheLog);
        hmsync::MemoryStore reloaded;
        ASSERT_TRUE(reloaded.load(path(), problem));
        const QVariantMap back = reloaded.records(2).value(id).fields;
        for (auto entry = fields.cbegin(); entry != fields.cend(); ++entry)
            EXPECT_EQ(back.value(entry.key()), entry.value()) << entry.key().toStdString();
    }
}
