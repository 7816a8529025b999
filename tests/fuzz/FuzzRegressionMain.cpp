// Runs a fuzz target without libFuzzer, as part of the normal test run: over every file of the seed
// folders named on the command line, over every cut of each (at most a few dozen, evenly spread) and
// over seeded random byte changes of each. A fault aborts the program (or trips a sanitizer).
#include "platform/foundation/FileIO.h"
#include "platform/foundation/FileSystem.h"

#include <QDir>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

constexpr qsizetype kMaxCutsPerSeed = 32;
constexpr int kChangedCopiesPerSeed = 32;

void runOne(const QByteArray &input)
{
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size()));
}

void runAround(const QByteArray &seed, std::mt19937 &random)
{
    runOne(seed);
    const qsizetype step = std::max<qsizetype>(1, seed.size() / kMaxCutsPerSeed);
    for (qsizetype length = 0; length < seed.size(); length += step)
        runOne(seed.left(length));
    if (seed.isEmpty())
        return;
    std::uniform_int_distribution<qsizetype> position(0, seed.size() - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int copy = 0; copy < kChangedCopiesPerSeed; ++copy) {
        QByteArray changed = seed;
        for (int change = 0; change <= copy % 4; ++change)
            changed[position(random)] = char(byte(random));
        runOne(changed);
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::mt19937 random(20261207);
    int seeds = 0;
    for (int index = 1; index < argc; ++index) {
        const QString folder = QString::fromLocal8Bit(argv[index]);
        const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Name);
        for (const QString &name : names) {
            const platform::Result<QByteArray> seed = platform::readWholeFile(folder + QLatin1Char('/') + name);
            if (!seed) {
                std::fprintf(stderr, "%s\n", qPrintable(seed.error().message()));
                return 1;
            }
            runAround(*seed, random);
            ++seeds;
        }
    }
    std::printf("ran %d seeds with their cuts and changes\n", seeds);
    return seeds > 0 ? 0 : 1;
}
