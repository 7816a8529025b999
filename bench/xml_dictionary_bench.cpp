// The XML dictionary parser on a contacts feed of 5,000 entries, against Python's xml.etree building
// its tree of the same feed in the same run. Both sides time only the parse, in CPU seconds, as the
// median of several rounds; the feed is realistic: names beyond ASCII, several e-mails and numbers,
// addresses, notes with entities and line breaks, group memberships and photo links.
#include "google/XMLDictionaryParser.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr int kEntries = 5000;
constexpr int kRounds = 7;

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

QByteArray entry(int index, QRandomGenerator &random)
{
    static const QStringList given{"Ann", "Björn", "Chloé", "Dmitri", "Émilie", "Fatima", "Grzegorz", "Hana", "Ivan", "Jürgen"};
    static const QStringList family{"Lee", "Østergaard", "Núñez", "O'Brien", "Schäfer", "Nakamura 中村", "Kowalski", "Smith"};
    const QString first = given.at(int(random.bounded(given.size())));
    const QString last = family.at(int(random.bounded(family.size())));
    QString text = QStringLiteral(
        "  <entry gd:etag='&quot;Qn0zeT%1.&quot;'>\n"
        "    <id>http://www.google.com/m8/feeds/contacts/me%40example.com/base/%2</id>\n"
        "    <updated>2026-12-%3T%4:12:34.%5Z</updated>\n"
        "    <app:edited xmlns:app='http://www.w3.org/2007/app'>2026-12-%3T%4:12:34.%5Z</app:edited>\n"
        "    <category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#contact'/>\n"
        "    <title>%6 %7</title>\n"
        "    <link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' "
        "href='https://www.google.com/m8/feeds/photos/media/me%40example.com/%2'/>\n"
        "    <link rel='self' type='application/atom+xml' href='https://www.google.com/m8/feeds/contacts/me%40example.com/full/%2'/>\n"
        "    <gd:name><gd:fullName>%6 %7</gd:fullName><gd:givenName>%6</gd:givenName><gd:familyName>%7</gd:familyName></gd:name>\n")
                       .arg(index)
                       .arg(index * 7919, 0, 16)
                       .arg(1 + index % 28, 2, 10, QLatin1Char('0'))
                       .arg(index % 24, 2, 10, QLatin1Char('0'))
                       .arg(index % 1000, 3, 10, QLatin1Char('0'))
                       .arg(first.toHtmlEscaped(), last.toHtmlEscaped());
    const int emails = 1 + int(random.bounded(3));
    for (int at = 0; at < emails; ++at)
        text += QStringLiteral("    <gd:email rel='http://schemas.google.com/g/2005#%1' address='%2.%3%4@example.com'%5/>\n")
                    .arg(at == 0 ? "work" : "home")
                    .arg(index)
                    .arg(at)
                    .arg(first.left(1))
                    .arg(at == 0 ? " primary='true'" : "");
    const int phones = int(random.bounded(4));
    for (int at = 0; at < phones; ++at)
        text += QStringLiteral("    <gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile' uri='tel:+49-30-%1'>+49 30 %1</gd:phoneNumber>\n")
                    .arg(1000000 + index * 13 + at);
    if (random.bounded(2) == 0)
        text += QStringLiteral("    <gd:structuredPostalAddress rel='http://schemas.google.com/g/2005#home'><gd:formattedAddress>%1 Hauptstraße\n"
                               "10115 Berlin</gd:formattedAddress><gd:street>%1 Hauptstraße</gd:street><gd:city>Berlin</gd:city>"
                               "<gd:postcode>10115</gd:postcode></gd:structuredPostalAddress>\n")
                    .arg(index % 200);
    if (random.bounded(3) == 0)
        text += QStringLiteral("    <content type='text'>Met at the fair &amp; talked about &lt;projects&gt;.\nSecond line of the note.</content>\n");
    text += QStringLiteral("    <gContact:groupMembershipInfo deleted='false' href='http://www.google.com/m8/feeds/groups/me%40example.com/base/6'/>\n"
                           "  </entry>\n");
    return text.toUtf8();
}

QByteArray feed()
{
    QRandomGenerator random(20261209);
    QByteArray text = "<?xml version='1.0' encoding='UTF-8'?>\n"
                      "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/' "
                      "xmlns:gContact='http://schemas.google.com/contact/2008' xmlns:batch='http://schemas.google.com/gdata/batch' "
                      "xmlns:gd='http://schemas.google.com/g/2005' gd:etag='W/&quot;CUMBRHo_fip7I2A9XRZWFUQ.&quot;'>\n"
                      "  <id>me@example.com</id>\n  <updated>2026-12-08T10:11:12.345Z</updated>\n  <title>Contacts</title>\n"
                      "  <openSearch:totalResults>5000</openSearch:totalResults>\n";
    for (int index = 0; index < kEntries; ++index)
        text += entry(index, random);
    return text + "</feed>\n";
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main()
{
    const QByteArray data = feed();
    QTemporaryDir folder;
    QFile file(folder.filePath("feed.xml"));
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return 2;
    file.close();

    std::vector<double> ours;
    qsizetype entries = 0;
    for (int round = 0; round < kRounds; ++round) {
        XMLDictionaryParser parser;
        const double start = cpuSeconds();
        const std::optional<QVariantMap> root = parser.dictionaryWithData(data);
        ours.push_back(cpuSeconds() - start);
        entries = root ? root->value("entry").toList().size() : 0;
    }
    QProcess python;
    python.start("python3", {"-c", QStringLiteral(
                                       "import sys, time, xml.etree.ElementTree as ET\n"
                                       "data = open(sys.argv[1], 'rb').read()\n"
                                       "times = []\n"
                                       "for _ in range(%1):\n"
                                       "    start = time.process_time(); root = ET.fromstring(data); times.append(time.process_time() - start)\n"
                                       "times.sort(); print(times[len(times) // 2], len(root.findall('{http://www.w3.org/2005/Atom}entry')))\n")
                                       .arg(kRounds),
                             file.fileName()});
    if (!python.waitForFinished(300000) || python.exitCode() != 0) {
        std::fprintf(stderr, "python3 failed: %s\n", python.readAllStandardError().constData());
        return 2;
    }
    const QList<QByteArray> answer = python.readAllStandardOutput().trimmed().split(' ');
    const double theirs = answer.value(0).toDouble();
    std::printf("feed: %lld bytes, %lld entries (python: %s)\n", static_cast<long long>(data.size()),
                static_cast<long long>(entries), answer.value(1).constData());
    std::printf("XMLDictionaryParser median CPU %.4f s, xml.etree %.4f s, ratio %.2f (limit 2)\n", median(ours), theirs,
                median(ours) / theirs);
    return 0;
}
