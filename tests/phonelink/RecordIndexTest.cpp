// The memory store's index of records against a plain map doing the same: every id found, replaced,
// removed and added again as the map says, in the order of their ids; and the store and its data
// source over it: ids written in any order, escaped, or not UTF-8 come back as they were, and a sync
// lists exactly the records it listed when every record was looked at.
#include "MemoryDataSource.h"
#include "RecordIndex.h"

#include "platform/foundation/Clock.h"
#include "sync/HMIdentifierGraph.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <map>

namespace {

const QDateTime kNow(QDate(2026, 12, 7), QTime(9, 30), Qt::UTC);

struct ModelHead
{
    QByteArray phoneId;
    QDateTime changed;
    hmsync::RecordIndex::Place place;
};

// Ids of every length from 1 to 70 bytes, some of them not ASCII, drawn from a small pool so that
// the same ids come back after their removal.
QByteArray drawnId(QRandomGenerator &random)
{
    const quint32 number = random.bounded(3000);
    QByteArray id = QByteArray::number(number) + '-' + QByteArray(int(number % 70), char('a' + number % 26));
    if (number % 7 == 0)
        id += "\xc3\xa9\xe2\x82\xac";
    return id;
}

// Which record each phone id finds: the one last given it, while it holds it.
using PhoneModel = std::map<QByteArray, QByteArray>;

void forgetPhoneId(PhoneModel &byPhoneId, const std::map<QByteArray, ModelHead> &model, const QByteArray &id)
{
    const auto held = model.find(id);
    if (held != model.end() && byPhoneId.count(held->second.phoneId) == 1 && byPhoneId[held->second.phoneId] == id)
        byPhoneId.erase(held->second.phoneId);
}

void expectSame(const hmsync::RecordIndex &index, const std::map<QByteArray, ModelHead> &model,
                const PhoneModel &byPhoneId)
{
    for (const QByteArray phoneId : {"", "P0", "P1", "P2", "P3", "P4"}) {
        const qint32 slot = index.findByPhoneId(phoneId);
        const auto expected = byPhoneId.find(phoneId);
        EXPECT_EQ(slot < 0 ? QByteArray("none") : index.idAt(slot).toByteArray(),
                  expected == byPhoneId.end() ? QByteArray("none") : expected->second);
    }
    ASSERT_EQ(index.size(), qsizetype(model.size()));
    const std::vector<qint32> order = index.ordered();
    ASSERT_EQ(order.size(), model.size());
    auto expected = model.begin();
    for (const qint32 slot : order) {
        SCOPED_TRACE(expected->first.toStdString());
        EXPECT_EQ(index.idAt(slot), expected->first);
        EXPECT_EQ(index.find(expected->first), slot);
        EXPECT_EQ(index.phoneIdAt(slot), expected->second.phoneId);
        EXPECT_EQ(index.changedAt(slot), expected->second.changed);
        EXPECT_EQ(index.placeAt(slot).offset, expected->second.place.offset);
        EXPECT_EQ(index.placeAt(slot).length, expected->second.place.length);
        EXPECT_EQ(index.placeAt(slot).isInLog, expected->second.place.isInLog);
        ++expected;
    }
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(RecordIndex, FindsReplacesAndRemovesAsAMapDoes)
{
    QRandomGenerator random(17);
    hmsync::RecordIndex index;
    std::map<QByteArray, ModelHead> model;
    PhoneModel byPhoneId;
    EXPECT_EQ(index.findByPhoneId("P0"), -1);
    for (int step = 1; step <= 30000; ++step) {
        const QByteArray id = drawnId(random);
        const quint32 action = random.bounded(10);
        if (action < 3) {
            forgetPhoneId(byPhoneId, model, id);
            EXPECT_EQ(index.erase(id), model.erase(id) == 1);
        } else if (action < 9) {
            const QByteArray phoneId = action == 3 ? QByteArray() : "P" + QByteArray::number(random.bounded(5));
            const QDateTime changed =
                action == 4 ? QDateTime() : kNow.addMSecs(qint64(random.bounded(1000000)) - 500000);
            const hmsync::RecordIndex::Place place{qint64(random.bounded(1 << 30)) * 4, random.bounded(5000),
                                                   action % 2 == 0};
            index.put(id, phoneId, changed, place);
            forgetPhoneId(byPhoneId, model, id);
            model[id] = ModelHead{phoneId, changed, place};
            if (!phoneId.isEmpty())
                byPhoneId[phoneId] = id;
        } else {
            EXPECT_EQ(index.find(id) >= 0, model.count(id) == 1);
        }
        if (step % 5000 == 0) {
            ASSERT_NO_FATAL_FAILURE(expectSame(index, model, byPhoneId));
        }
    }
    EXPECT_EQ(index.find("never-there"), -1);

    // A table of phone ids made late finds, of the records holding one, the last in id order.
    hmsync::RecordIndex late;
    late.put("b", "P1", {}, {});
    late.put("c", "P1", {}, {});
    late.put("a", "P1", {}, {});
    late.put("d", "P2", {}, {});
    EXPECT_EQ(late.idAt(late.findByPhoneId("P1")), QByteArrayView("c"));
    late.erase("c");
    EXPECT_EQ(late.findByPhoneId("P1"), -1);
    late.put("a", "P1", {}, {});
    EXPECT_EQ(late.idAt(late.findByPhoneId("P1")), QByteArrayView("a"));
    EXPECT_EQ(late.idAt(late.findByPhoneId("P2")), QByteArrayView("d"));

    index.clear();
    EXPECT_TRUE(index.isEmpty());
    EXPECT_EQ(index.find(model.begin()->first), -1);
    EXPECT_FALSE(index.erase(model.begin()->first));
}

class IndexedStore : public testing::Test
{
protected:
    void SetUp() override
    {
        platform::Clock::setSource([] { return kNow; });
    }
    void TearDown() override { platform::Clock::setSource(nullptr); }

    QString path() const { return m_folder.filePath(QStringLiteral("desktop.json")); }

    QTemporaryDir m_folder;
};

TEST_F(IndexedStore, IdsOfEveryFormComeBackInTheOrderOfTheirIds)
{
    // A file written by hand: an id with an escaped quote (read by the parser), one with bytes that
    // are not UTF-8 (read as the replacement character), and plain ones out of order.
    QByteArray file = "{\"format\":2,\"generation\":3}\n";
    file += R"({"conduit":2,"id":"b","phoneId":"D2","fields":{"SUBJECT":"B"}})"
            "\n";
    file += R"({"conduit":2,"id":"q\"uote","phoneId":"D9","fields":{"SUBJECT":"Quote"}})"
            "\n";
    file += "{\"conduit\":2,\"id\":\"bad\xff\",\"fields\":{\"SUBJECT\":\"Bad\"}}\n";
    file += R"({"conduit":2,"id":"a","changed":"2026-12-01T10:00:00.000Z","fields":{"SUBJECT":"A"}})"
            "\n";
    file += "{\"commit\":4}\n";
    {
        QFile out(path());
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        ASSERT_EQ(out.write(file), file.size());
    }
    hmsync::MemoryStore store;
    QString problem;
    ASSERT_TRUE(store.load(path(), problem)) << problem.toStdString();
    const QString bad = QStringLiteral("bad") + QChar(QChar::ReplacementCharacter);
    EXPECT_EQ(store.records(2).keys(),
              (QStringList{QStringLiteral("a"), QStringLiteral("b"), bad, QStringLiteral("q\"uote")}));
    EXPECT_EQ(store.count(2), 4);
    EXPECT_EQ(store.nativeIdForPhoneId(2, QStringLiteral("D9")), QStringLiteral("q\"uote"));
    // Its line is no JSON, so its fields cannot be read; it is still kept, as damaged fields are.
    EXPECT_TRUE(store.contains(2, bad));
    EXPECT_FALSE(store.record(2, bad).has_value());
    EXPECT_EQ(store.record(2, QStringLiteral("q\"uote"))
                  .value_or(hmsync::StoredRecord{})
                  .fields.value(QStringLiteral("SUBJECT")),
              QVariant(QStringLiteral("Quote")));

    // Records added after loading come after the file's in the log, and in id order when listed.
    store.putFromSync(2, QStringLiteral("0-first"), {{QStringLiteral("SUBJECT"), QStringLiteral("Zero")}},
                      QStringLiteral("D0"));
    ASSERT_TRUE(store.deleteRecord(2, QStringLiteral("b")));
    store.setPhoneIdUtf8(2, "a", "D1");
    const auto changedOnly = [](QByteArrayView, const QDateTime &changed) { return changed.isValid(); };
    const QList<std::pair<QString, hmsync::RecordHead>> changed = store.heads(2, changedOnly);
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed.first().first, QStringLiteral("a"));
    EXPECT_EQ(changed.first().second.phoneId, QStringLiteral("D1"));
    EXPECT_EQ(changed.first().second.changedOnDesktop, QDateTime(QDate(2026, 12, 1), QTime(10, 0), Qt::UTC));
    ASSERT_TRUE(store.save(problem)) << problem.toStdString();

    hmsync::MemoryStore reloaded;
    ASSERT_TRUE(reloaded.load(path(), problem)) << problem.toStdString();
    const QStringList expected{QStringLiteral("0-first"), QStringLiteral("a"), bad, QStringLiteral("q\"uote")};
    EXPECT_EQ(reloaded.records(2).keys(), expected);
    EXPECT_EQ(reloaded.nativeIdForPhoneId(2, QStringLiteral("D1")), QStringLiteral("a"));
    EXPECT_EQ(reloaded.nativeIdForPhoneId(2, QStringLiteral("D2")), QString());
    // A fold copies every line as it was, the escaped id and the unreadable line among them.
    hmsync::MemoryStore folded;
    ASSERT_TRUE(folded.load(path(), problem));
    folded.addRecord(4, {{QStringLiteral("NOTE"), QString(1100 * 1024, u'x')}});
    ASSERT_TRUE(folded.save(problem)) << problem.toStdString();
    ASSERT_FALSE(QFile::exists(path() + QStringLiteral(".log")));
    const QByteArray foldedFile = contentsOf(path());
    EXPECT_TRUE(foldedFile.contains(R"({"conduit":2,"id":"q\"uote","phoneId":"D9","fields":{"SUBJECT":"Quote"}})"
                                    "\n"));
    EXPECT_TRUE(foldedFile.contains("{\"conduit\":2,\"id\":\"bad\xff\",\"fields\":{\"SUBJECT\":\"Bad\"}}\n"));
}

// Listing skips a record only where looking at it would not send it: unchanged since the date and
// confirmed through its one graph entry. Unconfirmed entries, ids held twice, records the graph lost
// and records changed after the date all go, as they did when each record was looked at.
TEST_F(IndexedStore, ListingSendsWhatLookingAtEveryRecordSent)
{
    auto store = std::make_shared<hmsync::MemoryStore>();
    QString problem;
    ASSERT_TRUE(store->load(path(), problem));
    const auto subject = [](const char *text) {
        return QVariantMap{{QStringLiteral("SUBJECT"), QString::fromLatin1(text)}};
    };
    store->putFromSync(2, QStringLiteral("n-confirmed"), subject("Confirmed"), QStringLiteral("D1"));
    store->putFromSync(2, QStringLiteral("n-unconfirmed"), subject("Unconfirmed"), QString());
    store->putFromSync(2, QStringLiteral("n-twice"), subject("Twice"), QStringLiteral("D3"));
    store->putFromSync(2, QStringLiteral("n-lost"), subject("Lost"), QStringLiteral("D4"));
    const QString edited = store->addRecord(2, subject("Edited"));
    const QDateTime lastSync = kNow.addSecs(-60);

    auto graph = std::make_shared<HMIdentifierGraph>();
    const auto entry = [](const char *hmUid, const QString &nativeId) {
        return QVariantMap{{QStringLiteral("hmUid"), QString::fromLatin1(hmUid)},
                           {QStringLiteral("nativeId"), nativeId}};
    };
    graph->appendDictionary(entry("D1", QStringLiteral("n-confirmed")));
    QVariantMap unconfirmed = entry("tmp-1", QStringLiteral("n-unconfirmed"));
    hmsync::MemoryDataSource::markUnconfirmed(unconfirmed);
    graph->appendDictionary(unconfirmed);
    QVariantMap twice = entry("tmp-2", QStringLiteral("n-twice"));
    hmsync::MemoryDataSource::markUnconfirmed(twice);
    graph->appendDictionary(twice);
    graph->appendDictionary(entry("D3", QStringLiteral("n-twice")));
    graph->appendDictionary(entry("D5", edited));
    graph->setLastSyncDate(lastSync);

    hmsync::MemoryDataSource source(store, 2, QStringLiteral("HMCalendarData"));
    source.setIdentifierGraph(graph);
    const std::optional<QList<HMSyncRecord>> listed = source.syncRecordObjectsModifiedAfter(lastSync, false, {});
    ASSERT_TRUE(listed.has_value());
    QStringList sent;
    for (const HMSyncRecord &record : *listed)
        sent.append(record.nativeId() +
                    (record.isNew() ? QStringLiteral(" new") : QStringLiteral(" as ") + record.hmxUid()));
    sent.sort();
    EXPECT_EQ(sent, (QStringList{edited + QStringLiteral(" as D5"), QStringLiteral("n-twice new"),
                                 QStringLiteral("n-unconfirmed new")}));
    // The record the graph lost is joined again under the phone id the store kept.
    EXPECT_EQ(graph->harrowmereUidForNativeId(QStringLiteral("n-lost")), QStringLiteral("D4"));
}
