#pragma once

#include <QByteArray>
#include <QString>

// The files handed to Outlook's imports: "temp" in the data folder (made without its parents, 0700),
// each file written whole as the owner's (0600), never through a link. They are not flushed: Outlook
// reads them at once and they are removed right after.
namespace hmoutlook {

QString tempFilePath(const QString &dataFolder, const QString &name);
bool writeTempFile(const QString &path, const QByteArray &bytes);

} // namespace hmoutlook
