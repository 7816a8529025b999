// The main window's cloud account work: the account operations the account sheets and the application
// delegate ask for, and the "Check Google Connector Status" link with the connector check behind it.
#include "app/HMMainWindowController.h"

#include "ui_HMMainWindowController.h"

#include "cloud/HMQuillnestSync.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "platform/appkit/Alert.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormatter.h"
#include "sync/HMDataConfigurationSource.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QBoxLayout>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QRegularExpression>

namespace {

const QString kConnectorOperation = QStringLiteral("checkForGoogleConnector");
const QString kCredentialsPrefix = QStringLiteral("OK");
const QString kNeverSynced = QStringLiteral("Never");
const HMQuillnestSync::CredentialRefusalTexts kConnectorRefusalTexts{
    QStringLiteral("No Quillnest password."), QStringLiteral("No Quillnest username."),
    QStringLiteral("Invalid Quillnest user name. User name must be formatted as an email address."),
    QStringLiteral("The operation couldn\u2019t be completed. (Invalid Object error 200.)")};

// The operation whose cloud client a notification answers. The change poll's client is not among
// them: it sends its logout after posting its dates, so it stays until the next poll replaces it.
struct AnswerOfOperation
{
    const char *notification;
    const char *operation;
};
const AnswerOfOperation kAnswers[] = {
    {HMQuillnestSync::kValidateQuillnestCredentials, "validateQuillnestCredentials"},
    {HMQuillnestSync::kCreateQuillnestUser, "createNewQuillnestUser"},
    {HMQuillnestSync::kValidateQuillnestCredentialsSilent, "hasQuillnestUsernameAndPassword"},
    {HMQuillnestSync::kValidateQuillnestConnectorStatus, "checkForGoogleConnector"},
    {HMQuillnestSync::kCreateConnectorResponseRecieved, "makeNewGoogleConnector"},
};

// The quoted value of the key at or after the position, the key written as JSON writes it (blanks
// around the colon allowed); nothing when the text holds no such key there.
std::optional<QString> quotedValueAfter(const QString &text, const QString &key, qsizetype from)
{
    const QRegularExpression pattern(QStringLiteral("\"%1\"\\s*:\\s*\"([^\"]*)").arg(QRegularExpression::escape(key)));
    const QRegularExpressionMatch match = pattern.match(text, from);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1);
}

// "Never" for a date of zeros; otherwise the medium-style date and the value's time part.
QString lastSyncText(const QString &value)
{
    if (value.startsWith(QLatin1String("0000")))
        return kNeverSynced;
    const QString cleaned = HMMainWindowController::correctedString(value);
    const platform::DateFormatter reader(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const platform::Result<QDateTime> date = reader.parse(cleaned);
    const qsizetype blank = cleaned.indexOf(u' ');
    const QString timePart = blank >= 0 ? cleaned.mid(blank + 1) : QString();
    if (!date)
        return cleaned;
    const platform::DateFormatter medium(platform::DateStyle::Medium, platform::DateStyle::None);
    return medium.format(*date) + u' ' + timePart;
}

} // namespace

// The operations ---------------------------------------------------------------------------------------

HMQuillnestSync &HMMainWindowController::makeCloudClient(const QString &operation, bool commitEdits)
{
    if (m_cloudAnswerObservers.empty())
        observeCloudAnswers();
    // The window's controls write the profile as they change; there are no pending edits to commit.
    Q_UNUSED(commitEdits);
    const std::shared_ptr<HMProfile> profile = selectedProfile();
    std::shared_ptr<HMSyncControllerConfigurationProtocol> configuration;
    if (profile)
        configuration = std::make_shared<HMDataConfigurationSource>(m_profileManager, profile);
    std::unique_ptr<HMQuillnestSync> &slot = m_cloudClients[operation];
    slot = HMQuillnestSync::initWithConfiguration(configuration);
    return *slot;
}

void HMMainWindowController::releaseCloudClient(const QString &operation)
{
    m_cloudClients.erase(operation);
}

// A client lives until its answer is posted. The answer comes on the REST framework's thread, where
// the client may not go: it goes on the main queue.
void HMMainWindowController::observeCloudAnswers()
{
    auto &center = platform::NotificationCenter::defaultCenter();
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    for (const AnswerOfOperation &answer : kAnswers) {
        const QString operation = QString::fromLatin1(answer.operation);
        m_cloudAnswerObservers.push_back(center.addObserver(
            QString::fromLatin1(answer.notification), nullptr, [lifetime, operation](const platform::Notification &) {
                platform::DispatchQueue::main()->async([lifetime, operation] {
                    if (const auto window = lifetime.lock())
                        (*window)->releaseCloudClient(operation);
                });
            }));
    }
}

QString HMMainWindowController::validateQuillnestCredentials()
{
    return makeCloudClient(QStringLiteral("validateQuillnestCredentials"), true).validateConfiguration();
}

QString HMMainWindowController::createNewQuillnestUser()
{
    return makeCloudClient(QStringLiteral("createNewQuillnestUser")).createNewUser();
}

QString HMMainWindowController::hasQuillnestUsernameAndPassword()
{
    HMQuillnestSync &client = makeCloudClient(QStringLiteral("hasQuillnestUsernameAndPassword"));
    return client.validateConfigurationWithSilentNotification();
}

void HMMainWindowController::checkForGoogleConnector()
{
    DDLogInfo(QStringLiteral("checkForGoogleConnector"));
    makeCloudClient(kConnectorOperation).checkConnectorStatus();
}

void HMMainWindowController::makeNewGoogleConnector(const QString &refreshToken, const QString &email)
{
    QString conduits;
    if (const std::shared_ptr<HMProfile> profile = selectedProfile()) {
        if (profile->contactSyncEnabled())
            conduits += u'A';
        if (profile->calendarSyncEnabled())
            conduits += u'D';
        if (profile->taskSyncEnabled())
            conduits += u'T';
    }
    GlobalVariables::setEnabledConduitsForQuillnestConnector(conduits);
    makeCloudClient(QStringLiteral("makeNewGoogleConnector")).makeNewQuillnestConnector(refreshToken, email);
}

void HMMainWindowController::shouldAutosyncQuillnest()
{
    DDLogInfo(QStringLiteral("shouldAutosyncQuillnest"));
    makeCloudClient(QStringLiteral("shouldAutosyncQuillnest")).autosyncCheckForChanges();
}

void HMMainWindowController::autosyncLogonCommandReturned(bool succeeded, const QVariantMap &dictionary)
{
    Q_UNUSED(succeeded);
    DDLogInfo(QStringLiteral("dictionary %1").arg(HMQuillnestSync::jsonStringFromDictionary(dictionary)));
}

// The link --------------------------------------------------------------------------------------------

// The link's look, its spinner beside it, and the decision 2.0 s after the window loads whether to
// show it. The row is built once; the loading sequence runs again after every sheet.
void HMMainWindowController::setUpConnectorStatusButton()
{
    QPushButton *const button = qobject_cast<QPushButton *>(viewWithTag(1593));
    if (button == nullptr)
        return;
    if (!button->property("hmConnectorRowBuilt").toBool()) {
        button->setProperty("hmConnectorRowBuilt", true);
        button->setText(QStringLiteral("Check Google Connector Status"));
        button->setStyleSheet(QStringLiteral("QPushButton { color: blue; text-decoration: underline; border: none; "
                                             "font-family: Arial; font-size: 10pt; }"));
        auto *const effect = new QGraphicsOpacityEffect(button);
        button->setGraphicsEffect(effect);
        auto *const spinner = new QProgressBar(window());
        spinner->setObjectName(QStringLiteral("indicator"));
        spinner->setRange(0, 0);
        spinner->setTextVisible(false);
        spinner->setFixedSize(60, 10);
        spinner->setVisible(false);
        if (auto *const layout = qobject_cast<QBoxLayout *>(button->parentWidget()->layout())) {
            const int index = layout->indexOf(button);
            auto *const row = new QHBoxLayout;
            layout->insertLayout(index, row);
            row->addStretch();
            row->addWidget(button);
            row->addWidget(spinner);
            row->addStretch();
        }
        connect(button, &QPushButton::clicked, this, [this] { checkConnectorStatusClicked(); });
    }
    button->setEnabled(false);
    button->setVisible(false);
    static_cast<QGraphicsOpacityEffect *>(button->graphicsEffect())->setOpacity(0.0);
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    m_scheduler(kConnectorButtonDelay, [lifetime] {
        if (const auto window = lifetime.lock())
            (*window)->addConnectorStatusButtonIfNecessary();
    });
}

void HMMainWindowController::addConnectorStatusButtonIfNecessary()
{
    QPushButton *const button = qobject_cast<QPushButton *>(viewWithTag(1593));
    if (button == nullptr)
        return;
    bool hasContactManager = false;
    bool hasCloudPassword = false;
    bool hasGoogleDevice = false;
    for (const std::shared_ptr<HMProfile> &profile : std::as_const(m_profiles)) {
        hasContactManager = hasContactManager || !profile->contactManagerName().isEmpty();
        hasCloudPassword = hasCloudPassword || !profile->quillnestPassword().isEmpty();
        hasGoogleDevice = hasGoogleDevice || profile->deviceTypeName().contains(QLatin1String("google"));
    }
    auto *const effect = static_cast<QGraphicsOpacityEffect *>(button->graphicsEffect());
    if (!hasContactManager || !hasCloudPassword || !hasGoogleDevice) {
        button->setEnabled(false);
        button->setVisible(false);
        return;
    }
    button->setEnabled(true);
    button->setVisible(true);
    auto *const fadeIn = new QPropertyAnimation(effect, "opacity", button);
    fadeIn->setDuration(int(kConnectorButtonFadeIn.count()));
    fadeIn->setStartValue(effect->opacity());
    fadeIn->setEndValue(1.0);
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);
}

void HMMainWindowController::setSpinnersAnimating(bool isAnimating)
{
    if (!isWindowLoaded())
        return;
    for (QProgressBar *const spinner : window()->findChildren<QProgressBar *>()) {
        if (spinner->minimum() == 0 && spinner->maximum() == 0)
            spinner->setVisible(isAnimating);
    }
}

// The check ---------------------------------------------------------------------------------------------

void HMMainWindowController::checkConnectorStatusClicked()
{
    if (m_isCheckingConnectorStatus)
        return;
    m_isCheckingConnectorStatus = true;
    setSpinnersAnimating(true);
    const QDateTime now = platform::Clock::now();
    QDateTime previous;
    for (const std::shared_ptr<HMProfile> &profile : std::as_const(m_profiles)) {
        const QDateTime checked = profile->lastGoogleConnectorStatusCheck();
        if (checked.isValid() && (!previous.isValid() || checked > previous))
            previous = checked;
        profile->setLastGoogleConnectorStatusCheck(now);
    }
    const qint64 sinceMs = previous.isValid() ? previous.msecsTo(now) : kConnectorCheckSpacing.count();
    if (sinceMs >= kConnectorCheckSpacing.count() || sinceMs < 0) {
        validateQuillnestCredentialsAndCheckConnectorStatus();
        return;
    }
    // Checks stay about 10 s apart: this one waits for the rest of the spacing.
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    m_scheduler(std::chrono::milliseconds(kConnectorCheckSpacing.count() - sinceMs), [lifetime] {
        if (const auto window = lifetime.lock())
            (*window)->validateQuillnestCredentialsAndCheckConnectorStatus();
    });
}

void HMMainWindowController::validateQuillnestCredentialsAndCheckConnectorStatus()
{
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    m_connectorStatusObserver = platform::NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(HMQuillnestSync::kValidateQuillnestConnectorStatus), nullptr,
        [lifetime](const platform::Notification &notification) {
            const QVariant object = notification.userInfo.value(QStringLiteral("object"));
            const std::optional<QString> list = object.typeId() == QMetaType::QString
                                                    ? std::optional<QString>(object.toString())
                                                    : std::nullopt;
            platform::DispatchQueue::main()->async([lifetime, list] {
                if (const auto window = lifetime.lock())
                    (*window)->showConnectorStatus(list);
            });
        });
    const QString credentials = hasQuillnestUsernameAndPassword();
    DDLogInfo(QStringLiteral("Credentials string %1").arg(credentials.section(u'\n', 0, 1)));
    if (credentials.startsWith(kCredentialsPrefix)) {
        const HMQuillnestSync::CheckedCredentials checked = HMQuillnestSync::credentialsOfAnswer(credentials);
        m_qnsUsername = checked.username.value_or(QString());
        m_md5Password = checked.passwordDigest.value_or(QString());
        checkForGoogleConnector();
        // A failed request posts nothing: the check gives up after a while rather than spin for good.
        const quint64 check = ++m_connectorCheck;
        m_scheduler(kConnectorAnswerTimeout, [lifetime, check] {
            if (const auto window = lifetime.lock())
                (*window)->giveUpConnectorCheck(check);
        });
        return;
    }
    m_connectorStatusObserver.reset();
    setSpinnersAnimating(false);
    presentConnectorMessage(HMQuillnestSync::refusalText(credentials, kConnectorRefusalTexts), true);
    m_scheduler(kTurnOffCheckingDelay, [lifetime] {
        if (const auto window = lifetime.lock())
            (*window)->turnOffIsCheckingConnectorStatus();
    });
}

void HMMainWindowController::giveUpConnectorCheck(quint64 check)
{
    if (check != m_connectorCheck || !m_connectorStatusObserver.isActive())
        return;
    m_connectorStatusObserver.reset();
    releaseCloudClient(kConnectorOperation);
    setSpinnersAnimating(false);
    m_isCheckingConnectorStatus = false;
    DDLogError(QString::fromLatin1(kConnectorNoAnswerMessage));
    presentConnectorMessage(QString::fromLatin1(kConnectorNoAnswerMessage), true);
}

QString HMMainWindowController::connectorStatusMessage(const QString &connectorList)
{
    static const QRegularExpression googlePair(QStringLiteral("\"Type\"\\s*:\\s*\"Google\""));
    const QRegularExpressionMatch google = googlePair.match(connectorList);
    if (!google.hasMatch())
        return QStringLiteral("Google connector is not set up for this Quillnest account.");
    // The e-mail and the last sync are those of the Google connector: the keys after its pair.
    const QString email = quotedValueAfter(connectorList, QStringLiteral("Email"), google.capturedEnd()).value_or(QString());
    const std::optional<QString> lastSync = quotedValueAfter(connectorList, QStringLiteral("LastSync"), google.capturedEnd());
    return QStringLiteral("Connector is active for Google account: %1\nLast Connector Sync: %2")
        .arg(email, lastSync ? lastSyncText(*lastSync) : kNeverSynced);
}

void HMMainWindowController::showConnectorStatus(const std::optional<QString> &connectorList)
{
    if (!m_connectorStatusObserver.isActive())
        return;
    setSpinnersAnimating(false);
    m_connectorStatusObserver.reset();
    ++m_connectorCheck;
    DDLogInfo(QStringLiteral("notification.object %1").arg(connectorList.value_or(QStringLiteral("(null)")).left(2000)));
    presentConnectorMessage(connectorStatusMessage(connectorList.value_or(QString())), false);
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    m_scheduler(kTurnOffCheckingDelay, [lifetime] {
        if (const auto window = lifetime.lock())
            (*window)->turnOffIsCheckingConnectorStatus();
    });
}

// Presents the message as an alert on the window, without waiting for it, and logs it.
void HMMainWindowController::presentConnectorMessage(const QString &message, bool isError)
{
    DDLogInfo(message);
    if (!isWindowLoaded())
        return;
    auto alert = std::make_unique<platform::Alert>();
    alert->setMessageText(message);
    alert->setAlertStyle(isError ? platform::AlertStyle::Warning : platform::AlertStyle::Informational);
    platform::Alert *const shown = alert.get();
    if (m_connectorAlert)
        m_connectorAlert->messageBox().done(0);
    // An alert goes only after its handler has run, from the main queue.
    std::shared_ptr<platform::Alert> leaving(m_connectorAlert.release());
    if (leaving)
        platform::DispatchQueue::main()->async([leaving] {});
    m_connectorAlert = std::move(alert);
    const std::weak_ptr<HMMainWindowController *> lifetime = m_lifetime;
    shown->beginSheetModalForWindow(window(), [lifetime, shown](int) {
        platform::DispatchQueue::main()->async([lifetime, shown] {
            if (const auto window = lifetime.lock(); window && (*window)->m_connectorAlert.get() == shown)
                (*window)->m_connectorAlert.reset();
        });
    });
}

// Pieces no path reaches ----------------------------------------------------------------------------------

void HMMainWindowController::drawMainWindowsConnectorStatus()
{
    QWidget *const synchronize = viewWithTag(1005);
    if (synchronize == nullptr || m_connectorStatusField)
        return;
    auto *const field = new QLabel(QStringLiteral("Checking connector status ..."), window());
    const int left = synchronize->geometry().right() + 1;
    field->setGeometry(left, synchronize->y(), std::max(0, window()->width() - left - 8), synchronize->height());
    field->show();
    m_connectorStatusField = field;
}

void HMMainWindowController::getConnectorStatus(const std::optional<QString> &connectorList)
{
    static const QRegularExpression googlePair(QStringLiteral("\"Type\"\\s*:\\s*\"Google\""));
    if (connectorList && googlePair.match(*connectorList).hasMatch())
        m_connectorStatusHasBeenVerified = 1;
}
