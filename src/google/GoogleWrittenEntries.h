#pragma once

#include "outlook/HMAppendedLinesFile.h"
#include "outlook/HMOutlookDatFileHelper.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>

// The Google contacts this program wrote, each with the "updated" text of Google's answer, kept in a
// file beside the contact map ("<map>.google-written", 0600, one "id TAB updated" line per answer,
// appended as answers arrive). The next listing passes over an entry still carrying that text: it is
// our own write coming back, not a change made on Google. The list is emptied once a listing has
// read past it.
class GoogleWrittenEntries final
{
public:
    explicit GoogleWrittenEntries(QString path) : m_file(std::move(path)) {}
    // The entries beside a conduit's map, made into the slot on first use.
    static GoogleWrittenEntries &ofConduit(std::shared_ptr<GoogleWrittenEntries> &slot,
                                           HMOutlookDatFileHelper::Conduit conduit);

    const QString &path() const { return m_file.path(); }
    // The kept answers (the last one of an id wins); empty when there is no readable file.
    QHash<QString, QString> load() const;
    bool append(const QString &googleId, const QString &updated);
    // Several entries in one write.
    bool append(const QList<std::pair<QString, QString>> &entries);
    // Rewrites the file with one line per id (the last one) when it holds more than twice as many
    // lines; false when it could not be rewritten.
    bool compact();
    bool clear();

private:
    // Kept open between answers.
    HMAppendedLinesFile m_file;
};

// A Google list date to the millisecond, in a file beside the conduit's map ("<map>.google-list-date"):
// the map keeps whole seconds, and an entry updated later within the same second must still count as
// changed while our own last-read entry must not.
namespace googlelistdate {

using Conduit = HMOutlookDatFileHelper::Conduit;
QString path(Conduit conduit = Conduit::Contacts);
bool write(const QDateTime &date, Conduit conduit = Conduit::Contacts);
// The precise date when it lies within the second the map holds; else the map's date.
QDateTime refine(const QDateTime &mapDate, Conduit conduit = Conduit::Contacts);
// The date a listing stored for the events or tasks: their map keeps it plus one second, in whole
// seconds, refined by the file beside it. Invalid when no listing stored one: the map's Outlook date
// says nothing of what was read from Google.
QDateTime storedByListing(Conduit conduit);

} // namespace googlelistdate

// The send times of the inserts a send-only run made, in a file beside the conduit's map
// ("<map>.google-sent", one "Outlook id TAB time" line each, written before the first insert goes).
// A later run looks for Google's copies of those never answered among what Google changed since the
// earliest of them.
namespace googlesenttimes {

using Conduit = HMOutlookDatFileHelper::Conduit;
GoogleWrittenEntries file(Conduit conduit);
// One write; ids that cannot stand on a line are left out (their copies are still looked for from
// the earliest time kept, or through every record when none is).
bool keep(Conduit conduit, const QStringList &outlookIds, const QDateTime &now);
// The earliest time kept, less a day: Google's "updated" is Google's clock and the time ours, and a
// clock ahead of Google's by less than that loses no copy. Invalid when none is readable (every
// record is then looked through).
QDateTime listingBound(Conduit conduit);

} // namespace googlesenttimes
