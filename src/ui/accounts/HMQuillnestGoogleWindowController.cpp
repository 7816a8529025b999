#include "ui/accounts/HMQuillnestGoogleWindowController.h"

#include "ui_HMQuillnestGoogleWindowController.h"

#include "app/HMMainWindowController.h"
#include "cloud/HMQuillnestSync.h"
#include "foundation/GlobalVariables.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/HMGoogleSync.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/ErrorPresentation.h"
#include "platform/appkit/Fade.h"
#include "platform/appkit/View.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/ProcessInfo.h"
#include "push/Utilities/Reachability.h"
#include "sync/HMProfile.h"
#include "ui/accounts/HMCloudAccountOperations.h"
#include "ui/accounts/QuillnestPages.h"

#include <QUrlQuery>

namespace {

// The cloud service's web pages.
const QUrl kCreateAccountPage = QuillnestPages::createAccount();
const QUrl kAccountPage = QuillnestPages::account();
const QUrl kCustomerSignInPage = QuillnestPages::customerSignIn();
const QUrl kManualConnectorPage(QStringLiteral("https://www.quillnest.com/support/google-connector"));

const QColor kGreen(10, 142, 10);
const QColor kRed(204, 0, 0);
const QColor kDarkGrey(64, 64, 64);
const QString kInvalidObject = QStringLiteral("Invalid Object");
constexpr int kInputErrorCode = 200;
const QString kNever = QStringLiteral("Never");
const QString kGoogleMarker = QStringLiteral("\"Type\":\"Google\"");

// The text after the marker's first occurrence (at or after the position) up to the next double
// quote, or to the end; nothing without the marker.
std::optional<QString> quotedAfter(const QString &text, const QString &marker, qsizetype from = 0)
{
    const qsizetype at = text.indexOf(marker, from);
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + marker.size();
    const qsizetype end = text.indexOf(u'"', start);
    return text.mid(start, end < 0 ? -1 : end - start);
}

} // namespace

HMQuillnestGoogleWindowController::HMQuillnestGoogleWindowController()
    : HMGoogleSignInSheet(QStringLiteral("HMQuillnestGoogleWindowController")),
      m_ui(std::make_unique<Ui::HMQuillnestGoogleWindowController>())
{
}

// A running monitor keeps itself alive until its notifier stops: the sheet stops it as it goes.
HMQuillnestGoogleWindowController::~HMQuillnestGoogleWindowController()
{
    stopObserving();
}

HMCloudAccountOperations &HMQuillnestGoogleWindowController::operations()
{
    if (!m_operations)
        m_operations = HMCloudAccountOperations::mainWindowOperations();
    return *m_operations;
}

void HMQuillnestGoogleWindowController::setProfile(std::shared_ptr<HMProfile> profile)
{
    m_profile = std::move(profile);
    if (isWindowLoaded() && m_profile) {
        m_ui->userNameField->setText(m_profile->hhUserId());
        m_ui->passwordField->setText(m_profile->quillnestPassword());
    }
}

void HMQuillnestGoogleWindowController::loadInterface(QDialog &window)
{
    m_ui->setupUi(&window);
    m_ui->indicator->hide();
    m_ui->connectorStatusField->hide();
    // The fields edit the profile as they change: there is nothing pending to commit later.
    connect(m_ui->userNameField, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_profile)
            m_profile->setHhUserId(text);
    });
    connect(m_ui->passwordField, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_profile)
            m_profile->setQuillnestPassword(text);
    });
    connect(m_ui->connectButton, &QPushButton::clicked, this, [this] { nextPushed(); });
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { okPushed(); });
    connect(m_ui->manageQuillnestAccountButton, &QPushButton::clicked, this, [this] { manageAccountButtonClicked(); });
}

void HMQuillnestGoogleWindowController::windowDidLoad()
{
    m_ui->createQuillnestAccountButton->setHyperlinkTitle(QStringLiteral("Create an Account"));
    m_ui->createQuillnestAccountButton->setHyperlinkUrl(kCreateAccountPage);
    m_ui->manageQuillnestAccountButton->setHyperlinkTitle(QStringLiteral("Manage Account"));
    m_ui->manageQuillnestAccountButton->setHyperlinkUrl(kAccountPage);
    localizeXib();
    observeNotifications();
    m_qnsUsername.clear();
    m_md5Password.clear();
    setProfile(m_profile);
}

void HMQuillnestGoogleWindowController::localizeXib()
{
    localizeLabels({{1001, "password"}, {1002, "user_name"}, {1003, "quill_nest_instructions"}});
    setButtonColor();
}

// The link to the account page: blue, underlined, 10 points.
void HMQuillnestGoogleWindowController::setButtonColor()
{
    auto *button = qobject_cast<QPushButton *>(viewWithTag(1905));
    if (button == nullptr)
        return;
    QFont font(QStringLiteral("Arial"), 10);
    font.setUnderline(true);
    button->setFont(font);
    button->setText(QStringLiteral("Manage Account"));
    button->setStyleSheet(QStringLiteral("color: blue; border: none; text-align: center;"));
}

// Each answer is copied where it is posted (any thread) and handled on the main thread.
void HMQuillnestGoogleWindowController::observeNotifications()
{
    using Handler = void (HMQuillnestGoogleWindowController::*)(const QVariant &);
    const std::pair<const char *, Handler> answers[] = {
        {HMQuillnestSync::kValidateQuillnestCredentials, &HMQuillnestGoogleWindowController::credentialsValidated},
        {HMQuillnestSync::kValidateQuillnestCredentialsSilent, &HMQuillnestGoogleWindowController::credentialsValidatedSilent},
        {HMQuillnestSync::kValidateQuillnestConnectorStatus, &HMQuillnestGoogleWindowController::showConnectorStatus},
        {HMQuillnestSync::kCreateQuillnestUser, &HMQuillnestGoogleWindowController::userCreated},
        {kErrorCreatingQuillnestUser, &HMQuillnestGoogleWindowController::errorCreatingUser},
        {HMQuillnestSync::kCreateConnectorResponseRecieved, &HMQuillnestGoogleWindowController::didReceiveCreateConnectorResponse},
        {kApplicationDidBecomeActive, nullptr},
        {kReachabilityChangedNotification, nullptr}};
    stopObserving();
    platform::NotificationCenter &centre = platform::NotificationCenter::defaultCenter();
    const QPointer<HMQuillnestGoogleWindowController> self(this);
    for (const auto &[name, handler] : answers) {
        const QString notificationName = QString::fromLatin1(name);
        m_observers.push_back(centre.addObserver(notificationName, nullptr, [self, handler, notificationName](const platform::Notification &notification) {
            const QVariant object = notification.object != nullptr ? notification.userInfo.value(QStringLiteral("object")) : QVariant();
            platform::DispatchQueue::main()->async([self, handler, notificationName, object] {
                if (!self)
                    return;
                if (handler != nullptr)
                    (self->*handler)(object);
                else if (notificationName == QLatin1String(kApplicationDidBecomeActive))
                    self->gainedFocus();
                else
                    self->reachabilityChanged();
            });
        }));
    }
    startInternetMonitor();
}

// Without a running monitor nothing posts reachability changes; the sheet runs its own while open.
void HMQuillnestGoogleWindowController::startInternetMonitor()
{
    if (!m_internetReachability)
        m_internetReachability = Reachability::reachabilityForInternetConnection();
    if (m_internetReachability && !m_internetReachability->startNotifier())
        DDLogError(QStringLiteral("Unable to watch the network for reachability changes"));
}

void HMQuillnestGoogleWindowController::stopObserving()
{
    if (m_internetReachability)
        m_internetReachability->stopNotifier();
    m_observers.clear();
}

void HMQuillnestGoogleWindowController::showPanel()
{
    window();
    GlobalVariables::setAdvancedSettingsIsOpen(true);
    beginSheet(m_parentWindow);
}

void HMQuillnestGoogleWindowController::didEndSheet(int)
{
    GlobalVariables::setAdvancedSettingsIsOpen(false);
    stopObserving();
    signIn().cancel();
    window()->hide();
}

void HMQuillnestGoogleWindowController::okPushed()
{
    stopObserving();
    endSheet(platform::NSModalResponseOK);
}

void HMQuillnestGoogleWindowController::manageAccountButtonClicked()
{
    if (!platform::Workspace::sharedWorkspace().openURL(kCustomerSignInPage))
        DDLogError(QStringLiteral("Failed to open url: %1").arg(kCustomerSignInPage.toString()));
}

void HMQuillnestGoogleWindowController::addConnector()
{
    m_shouldCheckForGoogleConnectorOnFocus = true;
    showStatusCheckMessage();
    // Both values are percent-encoded whole, so a "+" or "&" in the address stays part of it.
    const QUrl page = QUrl::fromEncoded(kCustomerSignInPage.toEncoded() + "?email=" + QUrl::toPercentEncoding(m_qnsUsername)
                                        + "&token=" + QUrl::toPercentEncoding(m_md5Password));
    if (!platform::Workspace::sharedWorkspace().openURL(page))
        DDLogError(QStringLiteral("Failed to open url: %1").arg(page.toString()));
}

QLabel *HMQuillnestGoogleWindowController::connectorStatusField()
{
    window();
    return m_ui->connectorStatusField;
}

QProgressBar *HMQuillnestGoogleWindowController::indicator()
{
    window();
    return m_ui->indicator;
}

// The connect button: verify the credentials, then the connector status answers.
void HMQuillnestGoogleWindowController::nextPushed()
{
    m_shouldUseWebView = true;
    if (!operations().isNetworkReachable()) {
        setConnectorStatusNotAvailable();
        m_shouldCheckForGoogleConnectorOnReachabilityChange = true;
        return;
    }
    showStatusCheckMessage();
    const QString text = operations().validateQuillnestCredentials();
    if (text.startsWith(QLatin1String("OK"))) {
        readCredentials(text);
        return;
    }
    const HMQuillnestSync::CredentialRefusalTexts refusals{
        QStringLiteral("Enter a password."), QStringLiteral("Enter a username."),
        QStringLiteral("Invalid user name. User name must be formatted as an email address."), QString()};
    platform::presentError(window(), kInvalidObject, kInputErrorCode, HMQuillnestSync::refusalText(text, refusals));
}

// A marker the answer lacks changes nothing.
void HMQuillnestGoogleWindowController::readCredentials(const QString &text)
{
    const HMQuillnestSync::CheckedCredentials checked = HMQuillnestSync::credentialsOfAnswer(text);
    m_qnsUsername = checked.username.value_or(m_qnsUsername);
    m_md5Password = checked.passwordDigest.value_or(m_md5Password);
}

void HMQuillnestGoogleWindowController::setStatusLine(const QString &text, const QColor &colour)
{
    QLabel *line = connectorStatusField();
    QPalette palette = line->palette();
    palette.setColor(QPalette::WindowText, colour);
    line->setPalette(palette);
    line->setText(text);
    line->show();
}

void HMQuillnestGoogleWindowController::showStatusCheckMessage()
{
    setStatusLine(QStringLiteral("Checking connector status ..."), kDarkGrey);
    indicator()->show();
}

void HMQuillnestGoogleWindowController::setConnectorStatusNotAvailable()
{
    m_shouldCheckForGoogleConnectorOnFocus = true;
    setStatusLine(QStringLiteral("Google connector status unavailable (network connection not available)."), kDarkGrey);
    indicator()->hide();
}

void HMQuillnestGoogleWindowController::removeStatusLine()
{
    connectorStatusField()->hide();
    indicator()->hide();
}

void HMQuillnestGoogleWindowController::checkForValidGoogleConnector()
{
    operations().checkForGoogleConnector();
}

void HMQuillnestGoogleWindowController::checkForConnectorStatusSilent()
{
    const QString text = operations().hasQuillnestUsernameAndPassword();
    if (text.isNull())
        return;
    showStatusCheckMessage();
    readCredentials(text);
    if (!operations().isNetworkReachable()) {
        setConnectorStatusNotAvailable();
        m_shouldCheckForGoogleConnectorOnReachabilityChange = true;
    }
}

void HMQuillnestGoogleWindowController::handleAccountReply(const QVariant &object)
{
    if (object.typeId() != QMetaType::QVariantMap)
        return;
    const QVariant result = object.toMap().value(QStringLiteral("Result"));
    bool isNumber = false;
    const int code = result.toInt(&isNumber);
    if (!isNumber)
        return;
    if (code == 0)
        checkForValidGoogleConnector();
    else if (code == 1)
        invalidUserName();
    else if (code == 2)
        invalidPassword();
}

void HMQuillnestGoogleWindowController::credentialsValidated(const QVariant &object)
{
    handleAccountReply(object);
}

void HMQuillnestGoogleWindowController::userCreated(const QVariant &object)
{
    handleAccountReply(object);
}

void HMQuillnestGoogleWindowController::credentialsValidatedSilent(const QVariant &object)
{
    if (object.typeId() == QMetaType::QVariantMap && object.toMap().value(QStringLiteral("Result")).toString() == QLatin1String("0"))
        checkForValidGoogleConnector();
}

void HMQuillnestGoogleWindowController::invalidPassword()
{
    platform::presentError(window(), kInvalidObject, kInputErrorCode, QStringLiteral("Invalid password."));
}

void HMQuillnestGoogleWindowController::invalidUserName()
{
    askToCreateUser();
}

// The creation question: a sheet on the window from 10.8 on, else an application-modal alert.
void HMQuillnestGoogleWindowController::askToCreateUser()
{
    const QString question =
        QStringLiteral("Quillnest user %1 does not exist. Would you like to create this user account?").arg(m_qnsUsername);
    auto alert = std::make_shared<platform::Alert>();
    const platform::OperatingSystemVersion version = platform::ProcessInfo::operatingSystemVersion();
    const bool asSheet = version.majorVersion > 10 || (version.majorVersion == 10 && version.minorVersion >= 8);
    if (asSheet) {
        alert->setMessageText(question);
    } else {
        alert->setInformativeText(question);
        alert->setAlertStyle(platform::AlertStyle::Informational);
    }
    alert->addButtonWithTitle(QStringLiteral("Yes"));
    alert->addButtonWithTitle(QStringLiteral("No"));
    const QPointer<HMQuillnestGoogleWindowController> self(this);
    auto keep = std::make_shared<std::shared_ptr<platform::Alert>>(alert);
    const auto answered = [self, keep](int returnCode) {
        platform::DispatchQueue::main()->async([held = std::move(*keep)] {});
        if (!self)
            return;
        if (returnCode != platform::NSAlertFirstButtonReturn) {
            self->removeStatusLine();
            return;
        }
        const QString text = self->operations().createNewQuillnestUser();
        if (text.contains(QLatin1String("Error")))
            platform::NotificationCenter::defaultCenter().postNotificationName(
                QString::fromLatin1(kErrorCreatingQuillnestUser), &text, {{QStringLiteral("object"), text}});
    };
    if (asSheet)
        alert->beginSheetModalForWindow(window(), answered);
    else
        answered(alert->runModal());
}

void HMQuillnestGoogleWindowController::errorCreatingUser(const QVariant &object)
{
    removeStatusLine();
    if (object.typeId() != QMetaType::QString)
        return;
    DDLogError(object.toString());
    platform::presentError(window(), QString(), 0, object.toString());
}

QString HMQuillnestGoogleWindowController::lastSyncText(const QString &value)
{
    if (value.startsWith(QLatin1String("0000")))
        return kNever;
    const qsizetype blank = value.indexOf(u' ');
    const QString timePart = blank >= 0 ? value.mid(blank + 1) : QString();
    const platform::DateFormatter reader(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const platform::Result<QDateTime> date = reader.parse(HMMainWindowController::correctedString(value));
    const platform::DateFormatter medium(platform::DateStyle::Medium, platform::DateStyle::None);
    return (date ? medium.format(*date) : QString()) + u' ' + timePart;
}

QString HMQuillnestGoogleWindowController::connectorStatusText(const QVariant &reply)
{
    const QString text = reply.typeId() == QMetaType::QString ? reply.toString() : QString();
    const qsizetype google = text.indexOf(kGoogleMarker);
    if (google < 0)
        return {};
    const QString email = quotedAfter(text, QStringLiteral("\"Email\":\""), google).value_or(QString());
    const std::optional<QString> lastSync = quotedAfter(text, QStringLiteral("\"LastSync\":\""));
    return QStringLiteral("Connector is active for Google account: %1\nLast Connector Sync: %2")
        .arg(email, lastSync ? lastSyncText(*lastSync) : kNever);
}

void HMQuillnestGoogleWindowController::showConnectorStatus(const QVariant &object)
{
    if (m_hideConnectorStatusDueToError) {
        connectorStatusField()->setText(QString());
        m_hideConnectorStatusDueToError = false;
        return;
    }
    const QString active = connectorStatusText(object);
    if (m_shouldUseWebView) {
        m_hasValidGoogleConnector = active.isEmpty() ? QStringLiteral("no") : QStringLiteral("yes");
        if (active.isEmpty()) {
            openBrowserWindow();
            return;
        }
        platform::presentError(window(), QString(), 0,
                               QStringLiteral("Your account is already connected with Google. Nothing to do here."));
    }
    indicator()->hide();
    if (active.isEmpty())
        setStatusLine(QStringLiteral("Google connector is not set up for this Quillnest account. Click \"Connect With My "
                                     "Google Account\" to set one up."),
                      kRed);
    else
        setStatusLine(active, kGreen);
}

void HMQuillnestGoogleWindowController::gainedFocus()
{
    if (!m_shouldCheckForGoogleConnectorOnFocus)
        return;
    m_shouldCheckForGoogleConnectorOnFocus = false;
    checkForValidGoogleConnector();
}

void HMQuillnestGoogleWindowController::reachabilityChanged()
{
    if (!m_shouldCheckForGoogleConnectorOnReachabilityChange)
        return;
    m_shouldCheckForGoogleConnectorOnReachabilityChange = false;
    checkForConnectorStatusSilent();
}

// The connector set-up -------------------------------------------------------------------------------

QString HMQuillnestGoogleWindowController::receivingText() const
{
    return QStringLiteral("Contacting Quillnest ...");
}

// The account's address comes from Google's user information, asked on a worker with this run's
// access token.
void HMQuillnestGoogleWindowController::handOverTokens()
{
    m_connectorRefreshToken = refreshToken();
    m_emailString.clear();
    const std::shared_ptr<HMGoogleSync> sync = HMGoogleSync::create();
    sync->setAccessToken(accessToken());
    const QPointer<HMQuillnestGoogleWindowController> self(this);
    platform::DispatchQueue::global()->async([sync, self] {
        struct NameOnly final : GoogleSyncControllerDelegate
        {
            void googleSyncControllerReturnedWithCalendarList(const QVariantList &) override {}
            void googleSyncControllerReturnedWithUserName(const QString &name) override { email = name; }
            void googleSyncControllerReturnedWithUserImage(const QByteArray &) override {}
            QString email;
        } delegate;
        sync->setGoogleSyncControllerDelegate(&delegate);
        sync->getUserInfo();
        sync->setGoogleSyncControllerDelegate(nullptr);
        platform::DispatchQueue::main()->async([self, email = delegate.email] {
            if (self)
                self->gotUserInformation(email);
        });
    });
}

void HMQuillnestGoogleWindowController::gotUserInformation(const QString &email)
{
    if (!isBrowserPanelShown())
        return;
    if (email.isEmpty()) {
        showManualSetUpHelp();
        return;
    }
    m_emailString = email;
    setStatusText(QStringLiteral("Creating Google Connector for %1").arg(email));
    operations().makeNewGoogleConnector(m_connectorRefreshToken, m_emailString);
}

void HMQuillnestGoogleWindowController::showManualSetUpHelp()
{
    DDLogError(QStringLiteral("Unable to parse page content: the account's user information holds no e-mail address"));
    setStatusText(QStringLiteral("Sorry, for some reason we weren't able to get all the information we need to set up "
                                 "your connector. Please set it up manually instead.\n\nClick below for instructions."),
                  kRed);
    setSpinnerShown(false);
    if (!m_helpButton) {
        m_helpButton = new QPushButton(QStringLiteral("How To Manually Set Up Google Connector"), panelContent());
        m_helpButton->setObjectName(QStringLiteral("helpButton"));
        m_helpButton->setMinimumSize(320, 40);
        connect(m_helpButton, &QPushButton::clicked, this, [this] { helpButtonPressed(); });
        if (auto *layout = qobject_cast<QBoxLayout *>(panelContent()->layout()))
            layout->insertWidget(layout->indexOf(statusField()) + 1, m_helpButton, 0, Qt::AlignHCenter);
    }
    m_helpButton->show();
    m_helpButton->setFocus();
}

void HMQuillnestGoogleWindowController::helpButtonPressed()
{
    if (!platform::Workspace::sharedWorkspace().openURL(kManualConnectorPage))
        DDLogError(QStringLiteral("Failed to open url: %1").arg(kManualConnectorPage.toString()));
    m_hideConnectorStatusDueToError = true;
    platform::performAfterDelay(*this, 1.0, [this] { closeWebView(); });
}

void HMQuillnestGoogleWindowController::didReceiveCreateConnectorResponse(const QVariant &object)
{
    if (object.typeId() != QMetaType::QString)
        return;
    didCreateConnector(object.toString().contains(QLatin1String("\"Result\":0")));
}

void HMQuillnestGoogleWindowController::didCreateConnector(bool created)
{
    if (created)
        setStatusText(QStringLiteral("Success!"), kGreen);
    else
        setStatusText(QStringLiteral("Unable to create Google connector."), kRed);
    setSpinnerShown(false);
    platform::performAfterDelay(*this, 1.0, [this] { closeWebView(); });
}

void HMQuillnestGoogleWindowController::browserWindowWillClose()
{
    m_shouldUseWebView = false;
    if (m_helpButton)
        m_helpButton->hide();
    checkForConnectorStatusSilent();
}
