// Feeds arbitrary bytes to the zip reader as an archive and reads every entry it finds, with a password
// and as data, stream and provider: every input must end in an error code or a sound read, without
// reading past the bytes. The seed corpus is tests/app/zip/samples; the hostile regression cases run in
// test_zip.
#include "app/zip/ZipReaderExercise.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const ziptest::ExerciseOutcome outcome = ziptest::exerciseArchive(bytes, QStringLiteral("secret"));
    if (outcome.foreignFailures != 0)
        std::abort();
    return 0;
}
