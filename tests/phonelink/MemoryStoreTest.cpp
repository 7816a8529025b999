// The sync driver's memory store on disk: saves append only what changed to the log beside the file,
// byte for byte; a store with nothing new writes nothing; a log grown past the file is folded into it;
// the states a crash leaves (a save cut anywhere before its commit, a log beside a newer file) lose and
// revive nothing; a store in the earlier layout still loads; records are read back only when asked for.
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
        m_first = store.addRecord(2, {{QStringLiteral("SUBJECT"), QStringLiteral("First")}});
        m_second = store.addRecord(2, {{QStringLiteral("SUBJECT"), QStringLiteral("Second")}});
        const QString &first = m_first;
        const QString &second = m_second;
        EXPECT_TRUE(store.save(problem)) << problem.toStdString();
        QStringList states{describeStore(path())};

        store.putFromSync(2, first, {{QStringLiteral("SUBJECT"), QStringLiteral("First, from the phone")}}, QStringLiteral("D7"));
        m_task = store.addRecord(3, {{QStringLiteral("SUBJECT"), QStringLiteral("Task")}});
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

    // Saves a small memo into the log, then grows the log past a megabyte with one large memo: that
    // save writes the file whole. Answers whether it did.
    bool foldBySize(hmsync::MemoryStore &store)
    {
        QString problem;
        store.addRecord(4, {{QStringLiteral("SUBJECT"), QStringLiteral("Small")}});
        if (!store.save(problem) || !QFileInfo::exists(logPath()))
            return false;
        store.addRecord(4, {{QStringLiteral("SUBJECT"), QStringLiteral("Big")},
                            {QStringLiteral("NOTE"), QString(1100 * 1024, u'x')}});
        return store.save(problem) && !QFileInfo::exists(logPath());
    }

    QTemporaryDir m_folder;
    QString m_first;
    QString m_second;
    QString m_task;
};

} // namespace

TEST_F(StoreFiles, SavesAppendWhatChangedAndCompactingFoldsTheLog)
{
    hmsync::MemoryStore store;
    const QStringList states = saveFourStates(store);
    EXPECT_EQ(states.at(1), QStringLiteral("2:First, from the phone@D7 2:Second@ 3:Task@"));
    EXPECT_EQ(states.at(3), QStringLiteral("2:First, from the phone@D8 2:deleted 2026-12-07T09:30:00Z "
                                           "2:since 2026-12-07T09:30:00Z 3:Task@"));

    // The file holds the first state only, its records in the order of their ids; the log, each later
    // save's lines and its commit after its header.
    const QByteArray first = m_first.toLatin1();
    const QByteArray second = m_second.toLatin1();
    const auto desktopLine = [](const QByteArray &id, const char *subject) {
        return "{\"conduit\":2,\"id\":\"" + id + R"(","changed":"2026-12-07T09:30:00.000Z","fields":{"SUBJECT":")" +
               subject + "\"}}\n";
    };
    const QByteArray file = contentsOf(path());
    EXPECT_EQ(file, "{\"format\":2,\"generation\":1}\n" +
                        (first < second ? desktopLine(first, "First") + desktopLine(second, "Second")
                                        : desktopLine(second, "Second") + desktopLine(first, "First")) +
                        "{\"commit\":2}\n");
    const QByteArray date = R"({"date":"2026-12-07T09:30:00.000Z"})";
    const QByteArray expectedLog =
        "{\"logOf\":1}\n"
        "{\"conduit\":2,\"id\":\"" + first + R"(","phoneId":"D7","fields":{"SUBJECT":"First, from the phone"}})" "\n"
        "{\"conduit\":3,\"id\":\"" + m_task.toLatin1() + R"(","changed":"2026-12-07T09:30:00.000Z","fields":{"SUBJECT":"Task"}})" "\n"
        "{\"commit\":2}\n"
        "{\"conduit\":2,\"removed\":\"" + second + "\"}\n"
        "{\"conduit\":2,\"deletions\":{\"" + second + "\":" + date + "}}\n"
        "{\"conduit\":2,\"lastSyncStart\":" + date + "}\n"
        "{\"commit\":3}\n"
        "{\"conduit\":2,\"id\":\"" + first + R"(","phoneId":"D8","fields":{"SUBJECT":"First, from the phone"}})" "\n"
        "{\"commit\":1}\n";
    EXPECT_EQ(contentsOf(logPath()), expectedLog);

    // Saving with nothing new writes nothing.
    QString problem;
    EXPECT_FALSE(store.hasUnsavedChanges());
    ASSERT_TRUE(store.save(problem));
    EXPECT_EQ(contentsOf(path()), file);
    EXPECT_EQ(contentsOf(logPath()), expectedLog);

    // A log that outgrew the file is folded into it by the save that grew it.
    ASSERT_TRUE(foldBySize(store));
    EXPECT_FALSE(QFileInfo::exists(logPath()));
    EXPECT_TRUE(contentsOf(path()).startsWith("{\"format\":2,\"generation\":2}\n"));
    EXPECT_EQ(describeStore(path()), states.last() + QStringLiteral(" 4:Big@ 4:Small@"));
    // The store reads its records from the new file from then on.
    EXPECT_EQ(store.record(2, m_first).value_or(hmsync::StoredRecord{}).phoneId, QStringLiteral("D8"));
    EXPECT_EQ(store.records(4).size(), 2);
}

TEST_F(StoreFiles, ASaveCutShortAnywhereBeforeItsCommitIsLeftOutAndCutOff)
{
    {
        hmsync::MemoryStore store;
        saveFourStates(store);
    }
    const QByteArray file = contentsOf(path());
    const QByteArray log = contentsOf(logPath());
    // Everything up to the third save's commit; the last save (a record line and its commit) follows.
    const QByteArray kept = log.left(log.indexOf("{\"commit\":3}\n") + 13);
    const qsizetype lastSave = log.size() - kept.size();
    ASSERT_GT(lastSave, 13);
    for (qsizetype cut = 1; cut <= lastSave; cut += 5) {
        SCOPED_TRACE(cut);
        overwrite(path(), file);
        overwrite(logPath(), log.chopped(cut));
        hmsync::MemoryStore store;
        QString problem;
        ASSERT_TRUE(store.load(path(), problem));
        const QString before = describeStore(path());
        EXPECT_EQ(before, QStringLiteral("2:First, from the phone@D7 2:deleted 2026-12-07T09:30:00Z "
                                         "2:since 2026-12-07T09:30:00Z 3:Task@"));
        EXPECT_FALSE(store.hasUnsavedChanges());
        // The next save goes on after the last whole save.
        const QString memo = store.addRecord(4, {{QStringLiteral("SUBJECT"), QStringLiteral("Memo")}});
        ASSERT_TRUE(store.save(problem));
        EXPECT_EQ(contentsOf(logPath()), kept + "{\"conduit\":4,\"id\":\"" + memo.toLatin1() +
                                             R"(","changed":"2026-12-07T09:30:00.000Z","fields":{"SUBJECT":"Memo"}})"
                                             "\n{\"commit\":1}\n");
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

TEST_F(StoreFiles, AStoreInTheEarlierLayoutIsRewrittenInLinesWithItsLog)
{
    overwrite(path(), R"({"generation":3,"1":{"records":{},"deletions":{}},"2":{"records":{"e1":{"changed":{"date":)"
                      R"("2026-12-07T09:30:00.000Z"},"fields":{"SUBJECT":"Old event","NSDATESTARTDATE":{"date":)"
                      R"("2026-12-20T10:00:00.000Z"}},"phoneId":"D1"},"e2":{"fields":{"SUBJECT":"Gone"}}},"deletions":)"
                      R"({"x9":{"date":"2026-12-01T00:00:00.000Z"}}},"3":{"records":{},"deletions":{}},"4":{"records":)"
                      R"({},"deletions":{},"lastSyncStart":{"date":"2026-12-06T08:00:00.000Z"}}})"
                      "\n");
    // Its log: one save, then a torn line.
    overwrite(logPath(), "{\"logOf\":3}\n"
                         R"({"2":{"records":{"e3":{"fields":{"SUBJECT":"Logged"},"phoneId":"D3"}},"removedRecords":["e2"]}})"
                         "\n"
                         R"({"4":{"records":{"m1":{"fields":{"SUBJE)");
    EXPECT_EQ(describeStore(path()), QStringLiteral("2:Logged@D3 2:Old event@D1 2:deleted 2026-12-01T00:00:00Z "
                                                    "4:since 2026-12-06T08:00:00Z"));
    EXPECT_FALSE(QFileInfo::exists(logPath()));
    EXPECT_EQ(contentsOf(path()),
              QByteArray("{\"format\":2,\"generation\":4}\n"
                         "{\"conduit\":1,\"deletions\":{}}\n"
                         R"({"conduit":2,"id":"e1","phoneId":"D1","changed":"2026-12-07T09:30:00.000Z","fields":)"
                         R"({"NSDATESTARTDATE":{"date":"2026-12-20T10:00:00.000Z"},"SUBJECT":"Old event"}})"
                         "\n"
                         R"({"conduit":2,"id":"e3","phoneId":"D3","fields":{"SUBJECT":"Logged"}})"
                         "\n"
                         R"({"conduit":2,"deletions":{"x9":{"date":"2026-12-01T00:00:00.000Z"}}})"
                         "\n"
                         "{\"conduit\":3,\"deletions\":{}}\n"
                         "{\"conduit\":4,\"deletions\":{}}\n"
                         R"({"conduit":4,"lastSyncStart":{"date":"2026-12-06T08:00:00.000Z"}})"
                         "\n{\"commit\":7}\n"));
    const std::optional<hmsync::StoredRecord> event = [this] {
        hmsync::MemoryStore store;
        QString problem;
        return store.load(path(), problem) ? store.record(2, QStringLiteral("e1")) : std::nullopt;
    }();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->fields.value(QStringLiteral("NSDATESTARTDATE")),
              QVariant(QDateTime(QDate(2026, 12, 20), QTime(10, 0), Qt::UTC)));
    EXPECT_EQ(event->changedOnDesktop, kNow);
}

TEST_F(StoreFiles, LoadingReadsRecordsOnlyWhenAskedForAndRefusesADamagedFile)
{
    hmsync::MemoryStore store;
    saveFourStates(store);
    const QByteArray file = contentsOf(path());
    // A record whose fields are damaged between its head and its end still loads; reading it fails
    // alone, and the other records read as before.
    QByteArray damaged = file;
    damaged.replace("{\"SUBJECT\":\"First\"}", "{\"SUBJECT\":First\"}");
    ASSERT_NE(damaged, file);
    overwrite(path(), damaged);
    QFile::remove(logPath());
    hmsync::MemoryStore loaded;
    QString problem;
    ASSERT_TRUE(loaded.load(path(), problem)) << problem.toStdString();
    EXPECT_EQ(loaded.records(2).size(), 2);
    EXPECT_TRUE(loaded.contains(2, m_first));
    EXPECT_FALSE(loaded.record(2, m_first).has_value());
    EXPECT_EQ(loaded.record(2, m_second).value_or(hmsync::StoredRecord{}).fields.value(QStringLiteral("SUBJECT")),
              QVariant(QStringLiteral("Second")));

    // A file cut short, or with a line that is no store line, is not loaded, and is left as it is.
    for (const QByteArray &bad : {file.chopped(3), file.left(file.indexOf('\n') + 1) + "not a line\n" + file.mid(file.indexOf('\n') + 1)}) {
        overwrite(path(), bad);
        hmsync::MemoryStore refused;
        problem.clear();
        EXPECT_FALSE(refused.load(path(), problem));
        EXPECT_TRUE(problem.contains(QStringLiteral("damaged"))) << problem.toStdString();
        EXPECT_EQ(contentsOf(path()), bad);
    }
}

TEST_F(StoreFiles, RecordLinesHoldEveryKindOfValueByteForByte)
{
    const QDateTime date(QDate(2026, 1, 31), QTime(8, 0, 0, 250), Qt::UTC);
    const QVariantMap fields{
        {QStringLiteral("A_TEXT"), QStringLiteral("quote \" backslash \\ lines \n\r tab \t bell \x07 é 😀 /")},
        {QStringLiteral("B_FLAG"), true},
        {QStringLiteral("C_NUMBER"), qint64(-42)},
        {QStringLiteral("D_INT"), 7},
        {QStringLiteral("E_DOUBLE"), 2.5},
        {QStringLiteral("F_LIST"), QVariantList{QStringLiteral("x"), qint64(1), date}},
        {QStringLiteral("G_MAP"), QVariantMap{{QStringLiteral("k"), QStringLiteral("v")}, {QStringLiteral("none"), QVariant()}}},
        {QStringLiteral("H_NONE"), QVariant()},
        {QStringLiteral("I_EMPTY"), QString()}};
    hmsync::MemoryStore store;
    QString problem;
    ASSERT_TRUE(store.load(path(), problem));
    ASSERT_TRUE(store.save(problem));
    const QString id = store.addRecord(1, fields);
    ASSERT_TRUE(store.save(problem));
    EXPECT_EQ(contentsOf(logPath()),
              "{\"logOf\":1}\n{\"conduit\":1,\"id\":\"" + id.toLatin1() +
                  R"(","changed":"2026-12-07T09:30:00.000Z","fields":{"A_TEXT":"quote \" backslash \\ lines \n\r tab \t )"
                  R"(bell \u0007 é 😀 /","B_FLAG":true,"C_NUMBER":-42,"D_INT":7,"E_DOUBLE":2.5,"F_LIST":["x",1,{"date":)"
                  R"("2026-01-31T08:00:00.250Z"}],"G_MAP":{"k":"v"},"I_EMPTY":""}})"
                  "\n{\"commit\":1}\n");
    hmsync::MemoryStore reloaded;
    ASSERT_TRUE(reloaded.load(path(), problem));
    const QVariantMap back = reloaded.record(1, id).value_or(hmsync::StoredRecord{}).fields;
    for (const char *key : {"A_TEXT", "B_FLAG", "C_NUMBER", "D_INT", "E_DOUBLE", "F_LIST", "I_EMPTY"})
        EXPECT_EQ(back.value(QLatin1String(key)), fields.value(QLatin1String(key))) << key;
    EXPECT_EQ(back.value(QStringLiteral("G_MAP")), QVariant(QVariantMap{{QStringLiteral("k"), QStringLiteral("v")}}));
    EXPECT_FALSE(back.contains(QStringLiteral("H_NONE")));
}

TEST_F(StoreFiles, FilesRemovedOrReplacedByAnotherProgramAreWrittenAnew)
{
    // What the store holds open would otherwise take the next lines unseen, and lose them with it.
    for (const bool replacesTheFile : {false, true}) {
        SCOPED_TRACE(replacesTheFile ? "file replaced" : "log removed");
        hmsync::MemoryStore store;
        const QStringList states = saveFourStates(store);
        if (replacesTheFile) {
            const QByteArray file = contentsOf(path());
            ASSERT_TRUE(QFile::remove(path()));
            overwrite(path(), file);
        } else {
            ASSERT_TRUE(QFile::remove(logPath()));
        }
        store.addRecord(4, {{QStringLiteral("SUBJECT"), QStringLiteral("Memo")}});
        QString problem;
        ASSERT_TRUE(store.save(problem)) << problem.toStdString();
        EXPECT_FALSE(QFileInfo::exists(logPath()));
        EXPECT_EQ(describeStore(path()), states.last() + QStringLiteral(" 4:Memo@"));
        QFile::remove(path());
    }
}
