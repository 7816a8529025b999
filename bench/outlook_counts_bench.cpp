// Counts of Outlook record files created before a date, and the autosync check's latest change, over a
// store laid out as Outlook 2016 lays it out (record files in nested folders beside files of other
// kinds, the database beside them).
//
//   outlook_counts_bench setup <folder> [n]   makes n (5,000) record files per conduit (contacts,
//                                         events, tasks) and an "Outlook.sqlite", half before the
//                                         moment it prints (seconds since 1970, with fractions)
//   outlook_counts_bench count <folder> <moment>
//                                         prints the contact and event counts before the moment
//   outlook_counts_bench autosync <home>  the autosync check of an Outlook 2016 profile for contacts,
//                                         calendar and tasks, with <home> as HOME; the folder of
//                                         setup must lie under "<home>/Library/Group Containers/"
//
// Compare with GNU find making the same date test over the same files:
//   farm-bench -- outlook_counts_bench count F T --vs "sh -c 'find F/Contacts -name *olk15Contact ! -newermt @T | wc -l; ...'"
//   farm-bench -- outlook_counts_bench autosync H --vs "find H/Library -name *.olk15* -newer ..."
#include "outlook/HMOutlookSQLiteHelper.h"
#include "sync/HMProfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QTimeZone>
#include <QUuid>

#include <cstdio>

namespace {

constexpr int kRecordsPerConduit = 5000;
constexpr std::pair<const char *, const char *> kConduits[] = {
    {"Contacts", "olk15Contact"}, {"Events", "olk15Event"}, {"Tasks", "olk15Task"}};

void makeFiles(const QString &root, const QString &conduit, const QString &suffix, int from, int to)
{
    for (int i = from; i < to; ++i) {
        // Outlook spreads record files over two levels of small folders.
        const QString folder = QStringLiteral("%1/%2/%3T/%4B").arg(root, conduit).arg(i % 7).arg(i % 13);
        QDir().mkpath(folder);
        const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        QFile record(folder + u'/' + name + u'.' + suffix);
        if (record.open(QIODevice::WriteOnly))
            record.write(QByteArray(200 + (i * 37) % 3000, 'r'));
        if (i % 10 == 0) { // attachments and sources of other kinds beside them
            QFile other(folder + u'/' + name + QStringLiteral(".olk15MsgSource"));
            if (other.open(QIODevice::WriteOnly))
                other.write("x");
        }
    }
}

int setup(const QString &root, int records)
{
    for (const auto &[conduit, suffix] : kConduits)
        makeFiles(root, QLatin1String(conduit), QLatin1String(suffix), 0, records / 2);
    QFile database(root + QStringLiteral("/Outlook.sqlite"));
    if (database.open(QIODevice::WriteOnly))
        database.write("");
    QThread::msleep(50);
    const qint64 moment = QDateTime::currentMSecsSinceEpoch();
    QThread::msleep(50);
    for (const auto &[conduit, suffix] : kConduits)
        makeFiles(root, QLatin1String(conduit), QLatin1String(suffix), records / 2, records);
    std::printf("%lld.%03lld\n", moment / 1000, moment % 1000);
    return 0;
}

int count(const QString &root, const QString &moment)
{
    const QDateTime date = QDateTime::fromMSecsSinceEpoch(qint64(moment.toDouble() * 1000), QTimeZone::utc());
    const qint64 contacts = HMOutlookSQLiteHelper::countFilesCreatedBefore(root + QStringLiteral("/Contacts"), QStringLiteral("olk15Contact"), date);
    const qint64 events = HMOutlookSQLiteHelper::countFilesCreatedBefore(root + QStringLiteral("/Events"), QStringLiteral("olk15Event"), date);
    std::printf("%lld\n%lld\n", contacts, events);
    return 0;
}

int autosync(const QString &home)
{
    qputenv("HOME", QFile::encodeName(home));
    auto profile = std::make_shared<HMProfile>();
    profile->setContactManager(HMContactManager::Outlook15);
    HMOutlookSQLiteHelper helper;
    helper.setProfile(profile);
    std::printf("%s\n", helper.shouldAutosync(QStringLiteral("ADT")) ? "sync" : "wait");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if ((arguments.size() == 3 || arguments.size() == 4) && arguments[1] == u"setup")
        return setup(arguments[2], arguments.size() == 4 ? arguments[3].toInt() : kRecordsPerConduit);
    if (arguments.size() == 3 && arguments[1] == u"autosync")
        return autosync(arguments[2]);
    if (arguments.size() == 4 && arguments[1] == u"count")
        return count(arguments[2], arguments[3]);
    std::fprintf(stderr, "usage: outlook_counts_bench setup <folder> [n] | count <folder> <moment> | autosync <home>\n");
    return 2;
}
