// The Outlook folders tab of the advanced settings sheet: the loading overlay, Outlook's answers
// gathered on a worker thread, the four folder pickers, the automation script's installation and the
// help button.

#include "ui/settings/HMAdvancedSettingsWindowController.h"

#include "ui_HMAdvancedSettingsWindowController.h"

#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "outlook/HMOutlookContactFolders.h"
#include "outlook/HMOutlookSQLiteHelper.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/ComboBoxDataSource.h"
#include "platform/appkit/OpenPanel.h"
#include "platform/appkit/View.h"
#include "platform/appkit/Workspace.h"
#include "platform/applescript/NSAppleScript.h"
#include "platform/applescript/NSUserAppleScriptTask.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "sync/HMProfile.h"

#include <QDir>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <unistd.h>

namespace {

const QString kScriptName = QStringLiteral("automation.scpt");
const QString kSupportPage = QStringLiteral("https://www.harrowmere.com/support/");
const QString kNoAnswerMessage = QStringLiteral("Outlook did not answer. Start Outlook, then open this tab again.");
constexpr int kErrorFileExists = 516;

// A small spinning indicator: a ring with one bright arc that turns while it runs.
class SpinningIndicator final : public QWidget
{
public:
    explicit SpinningIndicator(QWidget *parent) : QWidget(parent)
    {
        m_timer.setInterval(80);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            m_angle = (m_angle + 30) % 360;
            update();
        });
    }
    void startAnimation() { m_timer.start(); }
    void stopAnimation() { m_timer.stop(); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF ring = QRectF(rect()).adjusted(2, 2, -2, -2);
        painter.setPen(QPen(QColor(210, 210, 210), 2.5));
        painter.drawEllipse(ring);
        painter.setPen(QPen(QColor(90, 90, 90), 2.5));
        painter.drawArc(ring, -m_angle * 16, 90 * 16);
    }

private:
    QTimer m_timer;
    int m_angle = 0;
};

QGraphicsOpacityEffect *fadeable(QWidget &view, qreal opacity)
{
    auto *effect = new QGraphicsOpacityEffect(&view);
    effect->setOpacity(opacity);
    view.setGraphicsEffect(effect);
    return effect;
}

QPropertyAnimation *fade(QWidget *view, qreal to, int milliseconds)
{
    auto *effect = view != nullptr ? qobject_cast<QGraphicsOpacityEffect *>(view->graphicsEffect()) : nullptr;
    if (effect == nullptr)
        return nullptr;
    auto *animation = new QPropertyAnimation(effect, "opacity");
    animation->setDuration(milliseconds);
    animation->setEndValue(to);
    return animation;
}

// Copies the file to the destination without ever replacing one: through a new file beside it,
// linked into place, so a file already there stays as it is and is reported with 516.
int copyWithoutReplacing(const QString &source, const QString &destination)
{
    const QString partial = destination + QStringLiteral(".partial");
    QFile::remove(partial);
    if (!QFile::copy(source, partial))
        return -1;
    QFile::setPermissions(partial, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const int linked = ::link(QFile::encodeName(partial).constData(), QFile::encodeName(destination).constData());
    const int error = linked == 0 ? 0 : errno;
    QFile::remove(partial);
    if (linked == 0)
        return 0;
    return error == EEXIST ? kErrorFileExists : -1;
}

} // namespace

void HMAdvancedSettingsWindowController::openOutlookFoldersTab()
{
    fillMissingFolderSelections();
    m_ui->shouldSyncPhotosCheckbox->setChecked(profile->shouldSyncPhotos() != u"no");
    if (needsToInstallScriptFile()) {
        showScriptFolderMessage();
        installScriptFile([](bool success) { DDLogInfo(QStringLiteral("installScriptFile: %1").arg(success)); });
    }
    drawLoadingFoldersView();
    cancelOutlookQueries();
    HMOutlookFolderQueries::Configuration configuration;
    configuration.configuredOutlookVersion = configuredOutlookVersion;
    configuration.useCustomOutlookApplicationPath = profile->useCustomOutlookApplicationPath();
    configuration.outlookApplicationPathSetting = profile->outlookApplicationPathSetting();
    configuration.isGoogleDirect = isGoogleDirect;
    configuration.scriptTimeout = outlookScriptTimeout;
    auto queries = std::make_shared<HMOutlookFolderQueries>(configuration);
    m_outlookQueries = queries;
    QPointer<HMAdvancedSettingsWindowController> weakThis(this);
    // Outlook is asked one script after another on a worker, so the overlay paints and a stalled
    // Outlook cannot freeze the window; the answers are taken in on the main thread.
    platform::DispatchQueue::global()->async([queries, weakThis] {
        queries->isConfigurationValid = queries->validateOutlookConfiguration();
        if (queries->isConfigurationValid) {
            queries->buildAccountNameDictionary();
            queries->contactsComboBoxArray();
            queries->calendarComboBoxArray();
            queries->taskComboBoxArray();
            queries->memosComboBoxArray();
        }
        platform::DispatchQueue::main()->async([queries, weakThis] {
            if (weakThis && weakThis->m_outlookQueries == queries)
                weakThis->outlookQueriesFinished(queries);
        });
    });
}

void HMAdvancedSettingsWindowController::fillMissingFolderSelections()
{
    const HMProfile &p = *profile;
    if (!p.outlookContactFolderSelection().isNull() && !p.outlookCalendarFolderSelection().isNull()
        && !p.outlookTaskFolderSelection().isNull() && !p.outlookMemoFolderSelection().isNull()) {
        return;
    }
    HMOutlookSQLiteHelper helper;
    helper.setSqliteFile();
    if (p.outlookContactFolderSelection().isNull())
        helper.setDefaultOutlookContactFolder();
    if (p.outlookCalendarFolderSelection().isNull())
        helper.setDefaultOutlookCalendarFolder();
    if (p.outlookTaskFolderSelection().isNull())
        helper.setDefaultOutlookTasksFolder();
    if (p.outlookMemoFolderSelection().isNull())
        helper.setDefaultOutlookNotesFolder();
}

void HMAdvancedSettingsWindowController::outlookQueriesFinished(const std::shared_ptr<HMOutlookFolderQueries> &queries)
{
    m_outlookQueries.reset();
    installedOutlookVersion = queries->installedOutlookVersion;
    if (queries->isReferenceRecorded)
        GlobalVariables::setOutlookApplicationReference(queries->applicationReference);
    if (!queries->isConfigurationValid) {
        eraseLoadingFoldersView();
        presentError(installedOutlookVersion.isEmpty()
                         ? kNoAnswerMessage
                         : QStringLiteral("Incorrect Outlook version configured. Harrowmere is configured for Outlook %1, "
                                          "but your installed version of Outlook is %2")
                               .arg(configuredOutlookVersion, installedOutlookVersion));
    } else {
        accountNameDictionary = queries->accountNameDictionary;
        if (queries->contactFoldersUnreadable) {
            platform::Alert alert;
            alert.setMessageText(QStringLiteral(
                "Outlook folders are unreadable. Try closing and restarting Outlook to correct this issue."));
            alert.runModal();
        }
        contactFoldersDictionary = queries->contactFoldersDictionary;
        calendarFoldersDictionary = queries->calendarFoldersDictionary;
        taskFoldersDictionary = queries->taskFoldersDictionary;
        if (!isGoogleDirect)
            memoFoldersDictionary = queries->memoFoldersDictionary;
        fillFolderList(3110, contactsComboBox, contactsComboBoxIndexOfDefaultItem());
        fillFolderList(3111, calendarComboBox, calendarComboBoxIndexOfDefaultItem());
        fillFolderList(3112, tasksComboBox, taskComboBoxIndexOfDefaultItem());
        if (isGoogleDirect)
            removeTagged({3113, 58875}, m_ui->OutlookFoldersTabView);
        else
            fillFolderList(3113, memosComboBox, memosComboBoxIndexOfDefaultItem());
        eraseLoadingFoldersView();
    }
    if (outlookFoldersDidLoad)
        outlookFoldersDidLoad();
}

void HMAdvancedSettingsWindowController::fillFolderList(qint64 tag, QPointer<QComboBox> &comboBox, qsizetype defaultIndex)
{
    // The folders tab, whichever tab the user went to while Outlook was asked.
    comboBox = qobject_cast<QComboBox *>(platform::viewWithTag(m_ui->OutlookFoldersTabView, tag));
    if (comboBox == nullptr)
        return;
    platform::setDataSource(*comboBox, this);
    platform::selectItemAtIndex(*comboBox, defaultIndex);
}

void HMAdvancedSettingsWindowController::cancelOutlookQueries()
{
    if (m_outlookQueries) {
        m_outlookQueries->cancel();
        m_outlookQueries.reset();
    }
}

const HMFolderMap *HMAdvancedSettingsWindowController::folderMapForTag(qint64 tag) const
{
    switch (tag) {
    case 3110:
        return &contactFoldersDictionary;
    case 3111:
        return &calendarFoldersDictionary;
    case 3112:
        return &taskFoldersDictionary;
    case 3113:
        return &memoFoldersDictionary;
    default:
        return nullptr;
    }
}

qsizetype HMAdvancedSettingsWindowController::contactsComboBoxIndexOfDefaultItem() const
{
    return contactFoldersDictionary.indexOfKey(profile->outlookContactFolderSelection());
}

qsizetype HMAdvancedSettingsWindowController::calendarComboBoxIndexOfDefaultItem() const
{
    return calendarFoldersDictionary.indexOfKey(profile->outlookCalendarFolderSelection());
}

qsizetype HMAdvancedSettingsWindowController::taskComboBoxIndexOfDefaultItem() const
{
    return taskFoldersDictionary.indexOfKey(profile->outlookTaskFolderSelection());
}

qsizetype HMAdvancedSettingsWindowController::memosComboBoxIndexOfDefaultItem() const
{
    return memoFoldersDictionary.indexOfKey(profile->outlookMemoFolderSelection());
}

// ---- Loading overlay ----

void HMAdvancedSettingsWindowController::drawLoadingFoldersView()
{
    QWidget *const content = window();
    const int width = content->width();
    const int height = content->height();
    auto *background = new QLabel(content);
    background->setGeometry(0, 0, width, height);
    background->setAutoFillBackground(true);
    background->setStyleSheet(QStringLiteral("background-color: white;"));
    fadeable(*background, 0);
    auto *message = new QLabel(QStringLiteral("\nLoading Outlook Folders"), content);
    // The box's origin is (W/2 - 200, H/2) counted from the bottom of the content.
    message->setGeometry(width / 2 - 200, height - height / 2 - 80, 400, 80);
    message->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    message->setStyleSheet(QStringLiteral("background-color: white; color: black; font-size: 15pt;"
                                          "border: 1.5px solid #555555; border-radius: 4px;"));
    fadeable(*message, 0);
    auto *indicator = new SpinningIndicator(background);
    indicator->setGeometry(width / 2 - 10, height - (height / 2 - 30) - 20, 20, 20);
    fadeable(*indicator, 0);
    indicator->startAnimation();
    background->show();
    message->show();
    indicator->show();
    m_loadingFoldersBackground = background;
    m_loadingFoldersView = message;
    m_loadingFoldersIndicator = indicator;
    auto *group = new QParallelAnimationGroup(content);
    group->addAnimation(fade(background, 0.7, 750));
    group->addAnimation(fade(message, 0.9, 750));
    group->addAnimation(fade(indicator, 0.9, 750));
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

void HMAdvancedSettingsWindowController::eraseLoadingFoldersView()
{
    if (m_loadingFoldersBackground == nullptr && m_loadingFoldersView == nullptr)
        return;
    if (auto *indicator = dynamic_cast<SpinningIndicator *>(m_loadingFoldersIndicator.data()))
        indicator->stopAnimation();
    const QList<QPointer<QWidget>> views = {m_loadingFoldersBackground, m_loadingFoldersView, m_loadingFoldersIndicator};
    m_loadingFoldersBackground = nullptr;
    m_loadingFoldersView = nullptr;
    m_loadingFoldersIndicator = nullptr;
    auto *group = new QParallelAnimationGroup(window());
    for (const QPointer<QWidget> &view : views) {
        if (QPropertyAnimation *animation = fade(view, 0, 500))
            group->addAnimation(animation);
    }
    QObject::connect(group, &QAbstractAnimation::finished, window(), [views] {
        for (const QPointer<QWidget> &view : views)
            delete view.data();
    });
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

// ---- Automation script ----

void HMAdvancedSettingsWindowController::showScriptFolderMessage()
{
    platform::Alert alert;
    alert.setMessageText(QStringLiteral("Harrowmere needs to install the file \"automation.scpt\". Please click "
                                        "\"Install Script File\" on the next screen."));
    alert.runModal();
}

QString HMAdvancedSettingsWindowController::applicationScriptsFolder()
{
    const platform::Result<QString> folder = platform::NSUserAppleScriptTask::applicationScriptsDirectory();
    return folder ? *folder : QString();
}

void HMAdvancedSettingsWindowController::installScriptFile(std::function<void(bool)> completion)
{
    const QString folder = applicationScriptsFolder();
    auto panel = std::make_shared<platform::OpenPanel>();
    panel->setDirectory(folder);
    panel->setCanChooseFiles(false);
    panel->setCanChooseDirectories(true);
    panel->setPrompt(QStringLiteral("Install Script File"));
    panel->setMessage(QStringLiteral("Please select the User > Library > Application Scripts > Harrowmere folder"));
    QPointer<HMAdvancedSettingsWindowController> weakThis(this);
    const auto retry = [weakThis, completion] {
        platform::DispatchQueue::main()->async([weakThis, completion] {
            if (weakThis)
                weakThis->installScriptFile(completion);
        });
    };
    panel->begin([panel, folder, completion, retry](int response) mutable {
        const std::shared_ptr<platform::OpenPanel> keep = std::exchange(panel, nullptr);
        platform::DispatchQueue::main()->async([keep] {}); // released after its handler has returned
        if (response != platform::NSModalResponseOK)
            return;
        if (folder.isEmpty() || QDir::cleanPath(keep->path()) != QDir::cleanPath(folder)) {
            retry();
            completion(false);
            return;
        }
        const int result = copyWithoutReplacing(platform::Bundle::resourcePath() + u'/' + kScriptName,
                                                QDir(folder).filePath(kScriptName));
        if (result != 0) {
            DDLogError(QStringLiteral("%1 error = %2").arg(QLatin1String(Q_FUNC_INFO)).arg(result));
            if (result == kErrorFileExists)
                return;
            retry();
            completion(false);
            return;
        }
        platform::Alert alert;
        alert.setMessageText(QStringLiteral("Script Installed"));
        alert.addButtonWithTitle(QStringLiteral("OK"));
        alert.setInformativeText(QStringLiteral("The Automation script was installed succcessfully."));
        alert.runModal();
        completion(true);
    });
}

void HMAdvancedSettingsWindowController::outlookFoldersHelpClicked()
{
    DDLogInfo(QStringLiteral("Clicked help."));
    if (!platform::Workspace::sharedWorkspace().openURL(QUrl(kSupportPage)))
        DDLogInfo(QStringLiteral("Failed to open url: %1").arg(kSupportPage));
}

void HMAdvancedSettingsWindowController::doFinderStuff()
{
    platform::NSAppleScript script(QStringLiteral("tell application \"Finder\"\nget processes\nend tell"));
    script.setTimeout(outlookScriptTimeout);
    DDLogInfo(QStringLiteral("Finder processes: %1").arg(script.executeAndReturnError().stringValue()));
}

// ---- Name-to-id maps ----

QVariantMap HMAdvancedSettingsWindowController::outlookContactFoldersDictionary()
{
    return ::outlookContactFoldersDictionary(this);
}

namespace {

// Queries addressed to the application reference recorded by the last version check.
std::unique_ptr<HMOutlookFolderQueries> recordedReferenceQueries(std::chrono::seconds timeout)
{
    HMOutlookFolderQueries::Configuration configuration;
    configuration.scriptTimeout = timeout;
    auto queries = std::make_unique<HMOutlookFolderQueries>(configuration);
    queries->applicationReference = GlobalVariables::getOutlookApplicationReference();
    return queries;
}

} // namespace

QVariantMap HMAdvancedSettingsWindowController::outlookCalendarFoldersDictionary()
{
    return recordedReferenceQueries(outlookScriptTimeout)->outlookCalendarFoldersDictionary();
}

QVariantMap HMAdvancedSettingsWindowController::outlookTaskFoldersDictionary()
{
    return recordedReferenceQueries(outlookScriptTimeout)->outlookTaskFoldersDictionary();
}

void HMAdvancedSettingsWindowController::runOutlookContactFoldersScript()
{
    HMAppleScripter scripter;
    scripter.setDelegate(this);
    static_cast<void>(scripter.executeScriptSynchronously(scripter.getOutlookAddressBookFoldersEvent()));
}

void HMAdvancedSettingsWindowController::scriptReturned(const platform::NSAppleEventDescriptor &event, const QString &)
{
    static_cast<void>(contactFoldersDictionaryFromResult(event));
}
