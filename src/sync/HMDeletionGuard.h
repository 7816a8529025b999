#pragma once

#include <QString>

#include <functional>

// The guard against a mistaken mass deletion. A run about to delete more than half of one side's
// records of a conduit, and more than ten of them, asks first: an empty or cut-short id list from
// the phone, or an emptied desktop folder, then turns into a question instead of a wipe. The progress
// sheet of the running sync puts the Yes/No question; a run without one (the headless driver) takes
// the answer set for it, which is No unless the caller said otherwise.
namespace deletionguard {

// Whether deleting that many of that many records needs the question.
bool needsQuestion(qsizetype deletions, qsizetype records);

// What the conduit's records are called in the question: "contacts", "events", "tasks", "memos".
QString recordsNoun(quint64 conduit);

// The question, naming the conduit's records and the side that would lose them.
QString questionText(qsizetype deletions, qsizetype records, quint64 conduit, const QString &sideName);

// Asks, and on the sync's own thread waits for the answer; answers whether to delete. A run cancelled
// while the question waits answers No. Never call it on the main thread, which shows the question.
bool askToDelete(const QString &question, const std::function<bool()> &isCancelled);

// The answer of runs without a progress sheet that asks; No until set. Any thread.
void setAnswerWithoutSheet(bool deletes);
bool answerWithoutSheet();

} // namespace deletionguard
