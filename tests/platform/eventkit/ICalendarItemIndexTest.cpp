// The folder's item index against the plain list it stands for: every file added under a key, in the
// order added, and the first entry of a file removed; through many merges and removals, with few
// keys so that many files share each.
#include "platform/eventkit/ICalendarFolder.h"
#include "platform/eventkit/ICalendarItemIndex.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace platform;

namespace {

struct ModelEntry
{
    quint32 key = 0;
    std::shared_ptr<ICalendarFile> file;
};

QList<ICalendarFile *> modelFilesWithKey(const std::vector<ModelEntry> &model, quint32 key)
{
    QList<ICalendarFile *> files;
    for (const ModelEntry &entry : model) {
        if (entry.key == key)
            files.append(entry.file.get());
    }
    return files;
}

void removeFromModel(std::vector<ModelEntry> &model, quint32 key, const ICalendarFile *file)
{
    for (auto at = model.begin(); at != model.end(); ++at) {
        if (at->key == key && at->file.get() == file) {
            model.erase(at);
            return;
        }
    }
}

} // namespace

TEST(ICalendarItemIndexTest, KeepsTheFilesOfEachKeyInTheOrderAdded)
{
    struct Case
    {
        const char *what;
        quint32 keyCount;
        int removeEvery; // one step in this many removes an entry
        bool buildsFirst;
    };
    const Case cases[] = {
        {"few keys, few removals", 3, 5, false},
        {"many keys, many removals", 40, 2, false},
        {"built at once, then kept in step", 7, 3, true},
        {"many keys, merged many times", 5000, 40, true},
    };
    for (const Case &row : cases) {
        std::mt19937 random(20261208);
        std::vector<std::shared_ptr<ICalendarFile>> files;
        for (int index = 0; index < 60; ++index)
            files.push_back(std::make_shared<ICalendarFile>());
        ICalendarItemIndex index;
        std::vector<ModelEntry> model;
        const auto addOne = [&](bool beforeMerge) {
            const quint32 key = random() % row.keyCount;
            const std::shared_ptr<ICalendarFile> &file = files[random() % files.size()];
            beforeMerge ? index.addBeforeMerge(key, file.get()) : index.add(key, file.get());
            model.push_back({key, file});
        };
        if (row.buildsFirst) {
            for (int step = 0; step < 500; ++step)
                addOne(true);
            index.merge();
        }
        for (int step = 0; step < 3000; ++step) {
            if (!model.empty() && random() % row.removeEvery == 0) {
                const ModelEntry entry = model[random() % model.size()];
                index.remove(entry.key, entry.file.get());
                removeFromModel(model, entry.key, entry.file.get());
            } else {
                addOne(false);
            }
            // A file never added under a key is not there to remove.
            index.remove(row.keyCount + 1, files.front().get());
            ASSERT_EQ(index.size(), qsizetype(model.size())) << row.what << ", step " << step;
            const quint32 key = random() % row.keyCount;
            ASSERT_EQ(index.filesWithKey(key), modelFilesWithKey(model, key)) << row.what << ", step " << step;
        }
        for (quint32 key = 0; key <= row.keyCount; ++key)
            EXPECT_EQ(index.filesWithKey(key), modelFilesWithKey(model, key)) << row.what << ", key " << key;
    }
}
