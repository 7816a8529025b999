#pragma once

#include "platform/foundation/Result.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// Reads the list part of a "/hmx_list" reply whole, or not at all. A list that is cut short or holds a
// malformed row must never look like a shorter list: the id list decides which desktop records are
// deleted, and a page that lost rows would lose the phone's changes once the sync marks them as done.
// Pure functions, any thread.
namespace phonelist {

// How strictly a reply is read.
struct ReadRules
{
    bool isIdList = false;    // the reply is a whole listing in one (an id list), not one page of a listing
    bool requiresUid = false; // every row must carry a non-empty "UID"
    qsizetype rowLimit = 512; // rows past this many are ignored
    // When set, the key each column's values take in a row, by the column's name in the header:
    // columns it names no text for are left out of the rows (they are still counted and checked).
    std::optional<QVariantMap> keyForColumn;
};

// The rows of the reply under the phone's own key names (or those of keyForColumn), values whole and
// as sent (still in the phone's text encoding). A reply without a list part has no rows. Fails when a
// row's field count differs from the header's, when the rows disagree with a number the reply
// announces (see PhoneListReply.cpp for which are read), or when a rule is broken.
platform::Result<QList<QVariantMap>> readRows(const QString &body, const ReadRules &rules);

// Of the same rows, only the values under one key (as readRows would key them), in order: rows that
// have no value under it give none. The reply is read and checked as whole as by readRows.
platform::Result<QStringList> readColumn(const QString &body, const ReadRules &rules, const QString &key);

} // namespace phonelist
