#include "PhoneDataFile.h"

#include "PhoneStore.h"
#include "StateJournal.h"

namespace phonepeer {

bool loadPhoneData(const QString &dataFile, PhoneStore &store, QString &problem)
{
    const peerjournal::StateJournal journal(dataFile);
    QJsonObject snapshot;
    QList<QJsonObject> changes;
    if (!journal.load(snapshot, changes, problem))
        return false;
    if (!store.fromJson(snapshot, problem)) {
        problem = QStringLiteral("%1: %2").arg(dataFile, problem);
        return false;
    }
    for (qsizetype index = 0; index < changes.size(); ++index) {
        if (!store.applyChanges(changes.at(index), problem)) {
            problem = QStringLiteral("%1.journal, line %2: %3").arg(dataFile).arg(index + 1).arg(problem);
            return false;
        }
    }
    return true;
}

bool writePhoneData(const QString &dataFile, const PhoneStore &store, QString &problem)
{
    peerjournal::StateJournal journal(dataFile);
    if (journal.writeSnapshot(store.toJson()))
        return true;
    problem = QStringLiteral("%1: cannot be written").arg(dataFile);
    return false;
}

} // namespace phonepeer
