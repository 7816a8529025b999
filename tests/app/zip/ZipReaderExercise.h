#pragma once

#include <QByteArray>
#include <QString>

namespace ziptest {

// What reading a whole archive came to.
struct ExerciseOutcome
{
    // The library's error code of the load, or -1 when it loaded.
    qint64 loadCode = -1;
    int entryCount = 0;
    // Entries whose content came back (as data, and identical through the stream).
    int readCount = 0;
    // Any failure that was not an error of the library's domain: must stay 0.
    int foreignFailures = 0;
};

// Loads the bytes as an archive and does everything a reader can with each entry: properties, check,
// and the content as data, stream and provider, with the password and without. Used by the hostile
// tests and the fuzz target; it must end, without reading past the bytes, for any input.
ExerciseOutcome exerciseArchive(const QByteArray &bytes, const QString &password);

} // namespace ziptest
