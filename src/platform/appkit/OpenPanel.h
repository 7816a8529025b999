#pragma once

#include <QList>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

class QFileDialog;

namespace platform {

// A panel that lets the user choose a file or folder, over a file dialog. It runs modally (runModal
// answers NSModalResponseOK or NSModalResponseCancel) or modelessly (begin returns at once and the
// handler gets the answer from the event loop). While a ScriptedOpenPanelResponder exists the panel is
// not shown: the script answers. Main thread only; keep a modeless panel alive until its handler ran.
class OpenPanel final
{
public:
    using CompletionHandler = std::function<void(int response)>;

    OpenPanel();
    ~OpenPanel();
    OpenPanel(const OpenPanel &) = delete;
    OpenPanel &operator=(const OpenPanel &) = delete;

    const QString &directory() const { return m_directory; }
    void setDirectory(const QString &directory) { m_directory = directory; }
    bool canChooseFiles() const { return m_canChooseFiles; }
    void setCanChooseFiles(bool can) { m_canChooseFiles = can; }
    bool canChooseDirectories() const { return m_canChooseDirectories; }
    void setCanChooseDirectories(bool can) { m_canChooseDirectories = can; }
    const QString &prompt() const { return m_prompt; }
    void setPrompt(const QString &prompt) { m_prompt = prompt; }
    const QString &message() const { return m_message; }
    void setMessage(const QString &message) { m_message = message; }

    int runModal();
    void begin(CompletionHandler handler);
    // The path chosen by the last OK, or a null text.
    const QString &path() const { return m_path; }

private:
    void prepareDialog();
    void finish(int response, const QString &path);

    QString m_directory;
    bool m_canChooseFiles = true;
    bool m_canChooseDirectories = false;
    QString m_prompt;
    QString m_message;
    QString m_path;
    std::unique_ptr<QFileDialog> m_dialog;
};

// Answers open panels from a script, for tests: each panel takes the next answer (a response and the
// path chosen) and is recorded. A panel with no answer left is cancelled. One responder at a time.
class ScriptedOpenPanelResponder final
{
public:
    struct Answer
    {
        int response = 0;
        QString path;
    };
    struct RecordedPanel
    {
        QString directory;
        QString prompt;
        QString message;
        bool canChooseFiles = false;
        bool canChooseDirectories = false;
    };

    explicit ScriptedOpenPanelResponder(QList<Answer> answers = {});
    ~ScriptedOpenPanelResponder();
    ScriptedOpenPanelResponder(const ScriptedOpenPanelResponder &) = delete;
    ScriptedOpenPanelResponder &operator=(const ScriptedOpenPanelResponder &) = delete;

    void appendAnswer(const Answer &answer) { m_answers.push_back(answer); }
    const QList<RecordedPanel> &recordedPanels() const { return m_recordedPanels; }

    static ScriptedOpenPanelResponder *current();
    Answer answer(const OpenPanel &panel);

private:
    std::deque<Answer> m_answers;
    QList<RecordedPanel> m_recordedPanels;
    ScriptedOpenPanelResponder *m_previous = nullptr;
};

} // namespace platform
