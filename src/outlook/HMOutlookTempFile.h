#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The files handed to Outlook's imports: "temp" in the data folder (made without its parents, 0700),
// each file written whole as the owner's (0600), never through a link. They are not flushed: Outlook
// reads them at once and they are removed after it (the contacts' vCard once its page is done).
namespace hmoutlook {

QString tempFilePath(const QString &dataFolder, const QString &name);
bool writeTempFile(const QString &path, const QByteArray &bytes);

// Sleeps until the whole second after the moment has begun, then forgets the moment (invalid: no
// wait). Outlook's modification dates are whole seconds: a read that must not see a write of the same
// run begins in a later second.
void waitPastSecondOf(QDateTime &moment);

} // namespace hmoutlook
