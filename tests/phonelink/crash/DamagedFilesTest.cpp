// Synced desktop files that another program (or the disk) damaged after a sync: each still exists
// but cannot be read or parsed as it was. The next syncs delete nothing on the phone and sync the
// other records; only a file that is gone is a deletion. Eleven kinds of damage on contacts (vCards
// in the folder store), events and tasks (iCalendar files), through the sync driver program.

#include "WiFiSyncTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using phonepeer::Conduit;

namespace {

constexpr int kRunLimitMs = 120000;
constexpr int kDesktopPerConduit = 14;
constexpr int kPhonePerConduit = 3;
const Conduit kConduits[] = {Conduit::Contacts, Conduit::Calendar, Conduit::Tasks};
const char *const kComponents[] = {"BEGIN:VCARD", "BEGIN:VEVENT", "BEGIN:VTODO"};

// One way a file can be damaged in place; the path is the file's, the text what it held.
struct Damage
{
    const char *name;
    std::function<bool(const QString &path, const QByteArray &text, const QString &elsewhere)> apply;
};

bool rewrite(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

bool replaceBy(const QString &path, const std::function<bool()> &make)
{
    return QFile::remove(path) && make();
}

const QList<Damage> &damages()
{
    static const QList<Damage> list{
        {"unreadable", [](const QString &path, const QByteArray &,
                          const QString &) { return ::chmod(QFile::encodeName(path).constData(), 0) == 0; }},
        {"empty", [](const QString &path, const QByteArray &, const QString &) { return rewrite(path, {}); }},
        {"truncated", [](const QString &path, const QByteArray &text,
                         const QString &) { return rewrite(path, text.left(text.size() / 2)); }},
        {"binary",
         [](const QString &path, const QByteArray &, const QString &) {
             QByteArray bytes;
             for (int index = 0; index < 4096; ++index)
                 bytes.append(char((index * 131 + 7) % 256));
             return rewrite(path, bytes);
         }},
        {"a FIFO",
         [](const QString &path, const QByteArray &, const QString &) {
             return replaceBy(path, [&] { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; });
         }},
        {"a folder", [](const QString &path, const QByteArray &,
                        const QString &) { return replaceBy(path, [&] { return QDir().mkdir(path); }); }},
        {"a symbolic link to a copy",
         [](const QString &path, const QByteArray &text, const QString &elsewhere) {
             return rewrite(elsewhere, text) && replaceBy(path, [&] { return QFile::link(elsewhere, path); });
         }},
        {"a dangling symbolic link",
         [](const QString &path, const QByteArray &, const QString &elsewhere) {
             return replaceBy(path, [&] { return QFile::link(elsewhere + QStringLiteral(".none"), path); });
         }},
        {"NUL characters inside",
         [](const QString &path, const QByteArray &text, const QString &) {
             return rewrite(path, QByteArray(text).replace("\r\n", QByteArray("\0\r\n", 3)));
         }},
        {"not UTF-8", [](const QString &path, const QByteArray &text,
                         const QString &) { return rewrite(path, QByteArray(text).replace(":", "\xff\xfe:")); }},
        {"its ending lines cut", [](const QString &path, const QByteArray &text,
                                    const QString &) { return rewrite(path, text.left(text.indexOf("END:"))); }},
    };
    return list;
}

// The name of the item in a file's text: the family name of a vCard, the SUMMARY of the others.
QString nameInItem(const QByteArray &text, int conduit)
{
    const QByteArray prefix = conduit == 0 ? QByteArrayLiteral("N:") : QByteArrayLiteral("SUMMARY:");
    for (const QByteArray &line : QByteArray(text).replace("\r\n ", "").replace("\r\n", "\n").split('\n')) {
        if (line.startsWith(prefix))
            return QString::fromUtf8(line.mid(prefix.size()).split(';').value(0));
    }
    return {};
}

// The files of the folder holding an item of the conduit, by path, with their text.
QMap<QString, QByteArray> itemFiles(const QString &folder, int conduit)
{
    QMap<QString, QByteArray> files;
    QDirIterator found(folder, {QStringLiteral("*.vcf"), QStringLiteral("*.ics")}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (found.hasNext()) {
        QFile file(found.next());
        if (file.open(QIODevice::ReadOnly) && file.peek(1 << 20).contains(kComponents[conduit]))
            files.insert(file.fileName(), file.readAll());
    }
    return files;
}

class DamagedFilesRig final
{
public:
    DamagedFilesRig()
    {
        preparePhoneLinkTests();
        m_peer = startPhonePeer(0);
        for (int index = 1; index <= kPhonePerConduit; ++index) {
            m_peer->addPhoneRecord(Conduit::Contacts,
                                   {{QStringLiteral("NEWLNAME"), QStringLiteral("Phone %1").arg(index)}});
            m_peer->addPhoneRecord(Conduit::Tasks,
                                   {{QStringLiteral("SUBJECT"), QStringLiteral("Phone %1").arg(index)}});
            m_peer->addPhoneRecord(Conduit::Calendar,
                                   {{QStringLiteral("SUBJECT"), QStringLiteral("Phone %1").arg(index)},
                                    {QStringLiteral("GMTSTARTDATE"), QStringLiteral("20261220")},
                                    {QStringLiteral("GMTSTARTTIME"), QStringLiteral("09:00:00")},
                                    {QStringLiteral("GMTENDDATE"), QStringLiteral("20261220")},
                                    {QStringLiteral("GMTENDTIME"), QStringLiteral("10:00:00")},
                                    {QStringLiteral("TYPE"), QStringLiteral("0")}});
        }
    }

    ~DamagedFilesRig() { m_peer->stop(); }

    phonepeer::PhonePeer &peer() { return *m_peer; }
    QString folderOf(int conduit) const { return m_home.filePath(conduit == 0 ? "contacts" : "calendars"); }
    QString elsewhere(const QString &name) const { return m_home.filePath(QStringLiteral("elsewhere-") + name); }

    ::testing::AssertionResult run(const QStringList &extra = {}) const
    {
        return runSyncDriverToEnd(m_home.path(), arguments() + extra, kRunLimitMs);
    }

private:
    QStringList arguments() const
    {
        return folderStoreDriverArguments(*m_peer, folderOf(0), folderOf(1))
               << QStringLiteral("--sample-records") << QString::number(kDesktopPerConduit);
    }

    QTemporaryDir m_home;
    std::unique_ptr<phonepeer::PhonePeer> m_peer;
};

// Damages one file of the conduit per kind after a first sync; the next two syncs keep each
// damaged file's record on the phone.
void expectNoDamagedItemDeletedOnThePhone(int conduit)
{
    DamagedFilesRig rig;
    ASSERT_TRUE(rig.run({QStringLiteral("--no-sync")}));
    ASSERT_TRUE(rig.run());
    const QString nameKey = conduit == 0 ? QStringLiteral("NEWLNAME") : QStringLiteral("SUBJECT");
    const auto namesOnPhone = [&] {
        QSet<QString> names;
        for (const phonepeer::PhoneRecord &record : rig.peer().records(kConduits[conduit]))
            names.insert(record.fields.value(nameKey));
        return names;
    };
    ASSERT_EQ(namesOnPhone().size(), kDesktopPerConduit + kPhonePerConduit);
    // The name of each damaged file's item, with the damage.
    QMap<QString, QString> damaged;
    const QMap<QString, QByteArray> files = itemFiles(rig.folderOf(conduit), conduit);
    ASSERT_GE(files.size(), damages().size());
    auto file = files.constBegin();
    for (const Damage &damage : damages()) {
        SCOPED_TRACE(damage.name);
        const QString name = QStringLiteral("%1-%2").arg(conduit).arg(QLatin1String(damage.name));
        ASSERT_TRUE(damage.apply(file.key(), file.value(), rig.elsewhere(name)));
        damaged.insert(nameInItem(file.value(), conduit), QString::fromLatin1(damage.name));
        ++file;
    }
    for (int sync = 0; sync < 2; ++sync)
        EXPECT_TRUE(rig.run());
    const QSet<QString> onPhone = namesOnPhone();
    for (auto it = damaged.constBegin(); it != damaged.constEnd(); ++it)
        EXPECT_TRUE(onPhone.contains(it.key()))
            << "deleted on the phone: " << it.key().toStdString() << ", " << it.value().toStdString();
    EXPECT_EQ(onPhone.size(), kDesktopPerConduit + kPhonePerConduit);
}

} // namespace

TEST(DamagedFiles, NoDamagedContactIsDeletedOnThePhone)
{
    expectNoDamagedItemDeletedOnThePhone(0);
}

TEST(DamagedFiles, NoDamagedEventIsDeletedOnThePhone)
{
    expectNoDamagedItemDeletedOnThePhone(1);
}

TEST(DamagedFiles, NoDamagedTaskIsDeletedOnThePhone)
{
    expectNoDamagedItemDeletedOnThePhone(2);
}

// Identifier graphs damaged after a first sync are set aside, and the next sync, a first sync again,
// pairs the records both sides already hold instead of sending them again: every contact, event and
// task stays once on each side, a record added on each side since included. The contacts the
// desktop made have no organization nor e-mail address: the phone's copy of each is paired with its
// person by the whole of what tells contacts apart.
TEST(DamagedFiles, AfterDamagedGraphsEveryRecordStaysOnceOnEachSide)
{
    DamagedFilesRig rig;
    ASSERT_TRUE(rig.run({QStringLiteral("--no-sync")}));
    ASSERT_TRUE(rig.run());
    QStringList graphs;
    QDirIterator found(QFileInfo(rig.folderOf(0)).path(), {QStringLiteral("*.idgraph")}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (found.hasNext())
        graphs.append(found.next());
    ASSERT_EQ(graphs.size(), 3);
    for (const QString &graph : graphs) {
        QFile file(graph);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.resize(file.size() / 2));
    }
    rig.peer().addPhoneRecord(Conduit::Contacts, {{QStringLiteral("NEWLNAME"), QStringLiteral("Phone later")}});
    rig.peer().addPhoneRecord(Conduit::Tasks, {{QStringLiteral("SUBJECT"), QStringLiteral("Phone later")}});
    for (int sync = 0; sync < 2; ++sync)
        ASSERT_TRUE(rig.run());
    for (int conduit = 0; conduit < 3; ++conduit) {
        SCOPED_TRACE(kComponents[conduit]);
        const int added = conduit == 1 ? 0 : 1;
        QStringList onDesktop;
        for (const QByteArray &text : itemFiles(rig.folderOf(conduit), conduit))
            onDesktop.append(nameInItem(text, conduit));
        QStringList onPhone;
        for (const phonepeer::PhoneRecord &record : rig.peer().records(kConduits[conduit]))
            onPhone.append(record.fields.value(conduit == 0 ? QStringLiteral("NEWLNAME") : QStringLiteral("SUBJECT")));
        onDesktop.sort();
        onPhone.sort();
        EXPECT_EQ(onDesktop.join(QStringLiteral(", ")).toStdString(), onPhone.join(QStringLiteral(", ")).toStdString());
        EXPECT_EQ(onPhone.size(), kDesktopPerConduit + kPhonePerConduit + added);
        EXPECT_EQ(QSet<QString>(onPhone.cbegin(), onPhone.cend()).size(), onPhone.size()) << "a name twice";
    }
}

// Another program rewrites a contact every 10 ms while twelve syncs run one after another; once it
// stops, a sync brings its last version to the phone, and the desktop keeps it. (Its REV is whole
// seconds: a version written in the second a sync began, after that sync read the card, must still
// read as changed.)
TEST(DamagedFiles, ACardRewrittenDuringSyncsEndsWithItsLastVersionOnBothSides)
{
    DamagedFilesRig rig;
    ASSERT_TRUE(rig.run({QStringLiteral("--no-sync")}));
    ASSERT_TRUE(rig.run());
    const QMap<QString, QByteArray> files = itemFiles(rig.folderOf(0), 0);
    ASSERT_FALSE(files.isEmpty());
    const QString path = files.firstKey();
    const QString original = nameInItem(files.first(), 0);
    std::atomic<bool> writing{true};
    std::atomic<int> version{0};
    std::thread writer([&] {
        while (writing.load()) {
            const int next = version.load() + 1;
            // As editors do: the name changed, REV now.
            QByteArray text =
                QByteArray(files.first()).replace(original.toUtf8(), QStringLiteral("Rewritten %1").arg(next).toUtf8());
            const qsizetype rev = text.indexOf("\nREV:");
            const QByteArray now =
                QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toLatin1();
            text = rev < 0 ? text.replace("END:VCARD", "REV:" + now + "\r\nEND:VCARD")
                           : text.left(rev + 5) + now + text.mid(text.indexOf('\r', rev));
            // A new file put in place of the old.
            if (rewrite(path + QStringLiteral(".new"), text) && QFile::remove(path) &&
                QFile::rename(path + QStringLiteral(".new"), path))
                version.store(next);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    for (int sync = 0; sync < 12; ++sync)
        EXPECT_TRUE(rig.run());
    writing.store(false);
    writer.join();
    const QString last = QStringLiteral("Rewritten %1").arg(version.load());
    ASSERT_TRUE(rig.run());
    QStringList onPhone;
    for (const phonepeer::PhoneRecord &record : rig.peer().records(Conduit::Contacts))
        onPhone.append(record.fields.value(QStringLiteral("NEWLNAME")));
    EXPECT_TRUE(onPhone.contains(last))
        << last.toStdString() << " missing; the phone holds "
        << onPhone.filter(QStringLiteral("Rewritten")).join(QStringLiteral(", ")).toStdString();
    EXPECT_EQ(onPhone.size(), kDesktopPerConduit + kPhonePerConduit);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(nameInItem(file.readAll(), 0), last);
}
