#include "platform/appkit/OpenPanel.h"

#include "platform/appkit/WindowController.h"
#include "platform/dispatch/DispatchQueue.h"

#include <QFileDialog>

namespace platform {

namespace {

ScriptedOpenPanelResponder *s_current = nullptr;

} // namespace

OpenPanel::OpenPanel() = default;

OpenPanel::~OpenPanel() = default;

void OpenPanel::prepareDialog()
{
    m_dialog = std::make_unique<QFileDialog>(nullptr, m_message, m_directory);
    m_dialog->setFileMode(m_canChooseDirectories && !m_canChooseFiles ? QFileDialog::Directory : QFileDialog::ExistingFile);
    m_dialog->setOption(QFileDialog::ShowDirsOnly, m_canChooseDirectories && !m_canChooseFiles);
    if (!m_prompt.isEmpty())
        m_dialog->setLabelText(QFileDialog::Accept, m_prompt);
}

void OpenPanel::finish(int response, const QString &path)
{
    m_path = response == NSModalResponseOK ? path : QString();
}

int OpenPanel::runModal()
{
    if (ScriptedOpenPanelResponder *const responder = ScriptedOpenPanelResponder::current()) {
        const ScriptedOpenPanelResponder::Answer answer = responder->answer(*this);
        finish(answer.response, answer.path);
        return answer.response;
    }
    prepareDialog();
    const bool accepted = m_dialog->exec() == QDialog::Accepted && !m_dialog->selectedFiles().isEmpty();
    finish(accepted ? NSModalResponseOK : NSModalResponseCancel, accepted ? m_dialog->selectedFiles().first() : QString());
    return accepted ? NSModalResponseOK : NSModalResponseCancel;
}

void OpenPanel::begin(CompletionHandler handler)
{
    if (ScriptedOpenPanelResponder *const responder = ScriptedOpenPanelResponder::current()) {
        const ScriptedOpenPanelResponder::Answer answer = responder->answer(*this);
        DispatchQueue::main()->async([this, answer, handler = std::move(handler)] {
            finish(answer.response, answer.path);
            handler(answer.response);
        });
        return;
    }
    prepareDialog();
    QObject::connect(m_dialog.get(), &QDialog::finished, m_dialog.get(), [this, handler = std::move(handler)](int result) {
        const bool accepted = result == QDialog::Accepted && !m_dialog->selectedFiles().isEmpty();
        finish(accepted ? NSModalResponseOK : NSModalResponseCancel, accepted ? m_dialog->selectedFiles().first() : QString());
        handler(accepted ? NSModalResponseOK : NSModalResponseCancel);
    });
    m_dialog->open();
}

ScriptedOpenPanelResponder::ScriptedOpenPanelResponder(QList<Answer> answers)
    : m_answers(answers.begin(), answers.end()), m_previous(s_current)
{
    s_current = this;
}

ScriptedOpenPanelResponder::~ScriptedOpenPanelResponder()
{
    if (s_current == this)
        s_current = m_previous;
}

ScriptedOpenPanelResponder *ScriptedOpenPanelResponder::current()
{
    return s_current;
}

ScriptedOpenPanelResponder::Answer ScriptedOpenPanelResponder::answer(const OpenPanel &panel)
{
    m_recordedPanels.append({panel.directory(), panel.prompt(), panel.message(), panel.canChooseFiles(),
                             panel.canChooseDirectories()});
    if (m_answers.empty())
        return {NSModalResponseCancel, QString()};
    const Answer answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

} // namespace platform
