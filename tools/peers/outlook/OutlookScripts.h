#pragma once

#include "OutlookStore.h"
#include "PeerDescriptor.h"
#include "ScriptGrammar.h"

#include <QHash>
#include <QJsonArray>

#include <functional>

namespace outlookpeer {

// The error numbers the scripts answer with, as Outlook gives them.
inline constexpr int kErrorFileNotFound = -43;
inline constexpr int kErrorCannotCoerce = -1700;
inline constexpr int kErrorNoSuchObject = -1728;
inline constexpr int kErrorGeneral = -10000;

// What a script or a handler call is answered with: a descriptor, or an error number and message.
struct ScriptOutcome
{
    Descriptor result;
    int errorNumber = 0;
    QString errorMessage;
    QByteArray encoded; // when set, the result already in its wire form (long listings skip the tree)

    static ScriptOutcome error(int number, const QString &message) { return {Descriptor(), number, message, {}}; }
};

// What the scripts see of the peer.
struct ScriptContext
{
    OutlookStore &store;
    QDateTime now;
    QString versionText;
    QString datePattern;
    QHash<QString, QString> versionTextFor; // the version text by the reference the script tells
    bool listsOccurrences = false; // the event listings take in the modified occurrences
    bool importGivesNewId = false; // an imported event whose UID Outlook holds replaces it under a new id
    QJsonArray exchangeAccounts;       // the Exchange accounts and the folders they hold (switch)
    bool unreadableAddressBooks = false; // the address books' properties fail with -2753 (switch)
};

// One script text the peer knows, byte for byte, with its holes (see matchScript) and its kind (the
// name by which a switch can refuse every script of it).
struct ScriptForm
{
    QString kind;
    QString text;
    std::function<ScriptOutcome(const QList<ScriptValue> &, ScriptContext &)> answer;
};

const QList<ScriptForm> &scriptForms();

// Answers a script text: the form it matches, or -2741 naming the line where it left every form.
// `kind` receives the matched form's kind.
ScriptOutcome answerScript(const QString &script, ScriptContext &context, QString *kind);
// Stamps the record changed now and stores it: the answer when it was stored, the store's problem
// (-10000) when not.
ScriptOutcome storeChangedRecord(ScriptContext &context, RecordKind kind, PeerRecord &record,
                                 const Descriptor &answer = Descriptor::null());
// A folder as the folder listings answer it: a record of its name ('pnam') and id ('ID  ').
Descriptor folderProperties(const PeerFolder &folder);

} // namespace outlookpeer
