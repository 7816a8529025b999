#pragma once

#include <QString>
#include <QUrl>

// Finds the application's data folder, which holds the profiles, identifier graphs, Outlook identifier
// maps, the Outlook error log and the trace files, and offers the small file operations of their
// owners. Class operations only; thread-safe. Failures go to the console as "Error: <description>",
// never to the log files.
class HMFileManager final
{
public:
    HMFileManager() = delete;

    // The data folder as a file URL, created with its missing parents on every call. A folder that
    // cannot be created is reported and its URL returned all the same; an empty URL when the system
    // names no data folder at all.
    static QUrl dataStorageURL();

    static bool fileExistsAtURL(const QUrl &url);

    // Removes the item. Nothing to remove is reported and counts as done; an item that stays (no
    // permission, a folder that is not empty) answers false.
    static bool deleteFileAtURL(const QUrl &url);

    // A new random UUID in lower case: 36 characters, hexadecimal digits in groups 8-4-4-4-12.
    static QString uidString();
};
