#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// One page of the Google Contacts feed read entry by entry straight into contact records, deletions
// and the bookkeeping of the listing. A pure function of the reply and the context.
namespace googlecontactfeed {

struct Context
{
    QMap<QString, QString> groups;       // group id to title
    QDateTime comparisonDate;            // entries not later than this are not changes
    QDateTime mostRecent;                // the latest "updated" seen so far
    bool allowDeletesFromGoogle = true;
    // Ids and "updated" texts of entries this program wrote: an entry still carrying that text is
    // our own write coming back, not a change.
    QHash<QString, QString> ownWrites;
};

struct Page
{
    QList<QVariantMap> records;
    QStringList deletions;
    QStringList changedIds;   // read as changed (left out of the Outlook-to-Google step)
    QStringList photoIds;     // changed and carrying a photo
    QStringList ownWritesSeen; // ids of entries passed over as our own writes
    QStringList entryIds;     // the id of every entry, in order (empty when unreadable)
    QDateTime mostRecent;
    qsizetype entryCount = 0;
};

// "yyyy-MM-ddTHH:mm:ss.zzzZ" in UTC; invalid when unreadable.
QDateTime dateOfUpdated(const QString &text);
QString updatedText(const QDateTime &date);

// The reply read as a feed page without building its tree. Names are matched as written (prefix
// included) and read by the rules of the XML dictionary form (empty elements kept): an element with
// only text is that text, a repeated one a list. Nothing when it is no feed: empty, larger than the
// parser takes, refused (a document type declaration, an entity, too deep), another root, or cut
// before the root element ends (a page read in part would end the listing early).
std::optional<Page> readFeed(const QByteArray &body, const Context &context);

// The first date of a listing, and that of an "updated" that cannot be read.
QDateTime defaultDate();

// A reply read as the XML dictionary form, empty elements kept (a deleted entry may be marked by an
// empty "gd:deleted"); nothing when it is no XML.
std::optional<QVariantMap> parseFeed(const QByteArray &body);
// Whether the parsed reply is a feed ("feed" or "atom:feed"): anything else holds no entries to trust.
bool isFeed(const QVariantMap &parsed);
// The feed's "entry" as a list: a list unchanged, a lone entry as one, text or nothing as none.
QVariantList entriesOf(const QVariantMap &feed);
// An element's text: its "__text" when it carries attributes, else its plain value.
QString nodeText(const QVariant &value);

} // namespace googlecontactfeed
