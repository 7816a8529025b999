#pragma once

#include "outlook/HMOutlookDatFileHelper.h"

#include <QSet>
#include <QString>
#include <QStringList>

// The Outlook records a Google run sent whose writes Google did not take (refused, or the answer never
// came), kept beside the conduit's map ("<map>.google-unanswered", 0600, one Outlook id a line). The
// run moves the map's date past its read all the same, so the next listing would pass over them: the
// next Google read lists these ids whatever their dates, and only they go again besides what changed.
// The file is written before the date moves and replaced by the next run's own list.
namespace outlookunanswered {

using Conduit = HMOutlookDatFileHelper::Conduit;
QString path(Conduit conduit);
// The kept ids; none when there is no readable regular file.
QSet<QString> read(Conduit conduit);
// Replaces the list with one write (an empty list removes the file); ids that cannot stand on a line
// are left out.
bool keep(Conduit conduit, const QStringList &outlookIds);

} // namespace outlookunanswered
