#include "ui/accounts/GoogleDirectWindowController.h"

#include "ui_GoogleDirectWindowController.h"

#include "app/HMAppDelegate.h"
#include "foundation/GlobalVariables.h"
#include "foundation/HMProfilesController.h"
#include "foundation/Lumberjack/DDLog.h"
#include "google/HMGoogleSync.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/ProcessInfo.h"
#include "sync/HMProfile.h"
#include "sync/HMProfileManager.h"

#include <QPixmap>
#include <QTableWidget>

namespace {

const QString kName = QStringLiteral("name");
const QString kId = QStringLiteral("id");
const QString kPrimary = QStringLiteral("primary");
const QString kSelected = QStringLiteral("calendarSelected");

// Hands the sync object's answers, which arrive on the worker, to the sheet on the main thread in
// the order they came; a sheet that went in between gets nothing.
class HandOverRelay final : public GoogleSyncControllerDelegate
{
public:
    explicit HandOverRelay(QPointer<GoogleDirectWindowController> sheet) : m_sheet(std::move(sheet)) {}

    void googleSyncControllerReturnedWithCalendarList(const QVariantList &calendars) override
    {
        post([calendars](GoogleDirectWindowController &sheet) { sheet.googleSyncControllerReturnedWithCalendarList(calendars); });
    }
    void googleSyncControllerReturnedWithUserName(const QString &userName) override
    {
        post([userName](GoogleDirectWindowController &sheet) { sheet.googleSyncControllerReturnedWithUserName(userName); });
    }
    void googleSyncControllerReturnedWithUserImage(const QByteArray &image) override
    {
        post([image](GoogleDirectWindowController &sheet) { sheet.googleSyncControllerReturnedWithUserImage(image); });
    }

private:
    void post(std::function<void(GoogleDirectWindowController &)> call)
    {
        platform::DispatchQueue::main()->async([sheet = m_sheet, call = std::move(call)] {
            if (sheet)
                call(*sheet);
        });
    }

    QPointer<GoogleDirectWindowController> m_sheet;
};

// The profile the process-wide profile controller has selected, or none.
std::shared_ptr<HMProfile> selectedProfile()
{
    const std::shared_ptr<HMProfilesController> controller = GlobalVariables::getCurrentProfileController();
    return controller ? controller->selectedProfile() : nullptr;
}

} // namespace

GoogleDirectWindowController::GoogleDirectWindowController()
    : HMGoogleSignInSheet(QStringLiteral("GoogleDirectWindowController")),
      m_ui(std::make_unique<Ui::GoogleDirectWindowController>()), m_profile(selectedProfile())
{
    const platform::OperatingSystemVersion version = platform::ProcessInfo::operatingSystemVersion();
    m_isOldOSXVersion = version.majorVersion < 10 || (version.majorVersion == 10 && version.minorVersion <= 9);
}

GoogleDirectWindowController::~GoogleDirectWindowController() = default;

Ui::GoogleDirectWindowController &GoogleDirectWindowController::ui()
{
    window();
    return *m_ui;
}

void GoogleDirectWindowController::loadInterface(QDialog &window)
{
    m_ui->setupUi(&window);
    m_ui->googleCalendarsTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    connect(m_ui->okButton, &QPushButton::clicked, this, [this] { okPushed(); });
    connect(m_ui->cancelButton, &QPushButton::clicked, this, [this] { cancelPushed(); });
    connect(m_ui->nextButton, &QPushButton::clicked, this, [this] { nextPushed(); });
    connect(m_ui->googleCalendarsTable, &QTableWidget::itemChanged, this, [this](QTableWidgetItem *item) {
        if (m_isFillingTable || item->column() != 0 || item->row() >= m_calendars.size())
            return;
        QVariantMap entry = m_calendars.at(item->row()).toMap();
        entry.insert(kSelected, item->checkState() == Qt::Checked);
        m_calendars[item->row()] = entry;
        googleCalendarSelected(m_ui->googleCalendarsTable);
    });
    connect(m_ui->defaultCalendarPopupButton, &QComboBox::activated, this, [this] { defaultCalendarPopupButtonClicked(); });
}

QString GoogleDirectWindowController::receivingText() const
{
    return QStringLiteral("Receiving authorization ...");
}

void GoogleDirectWindowController::showPanel()
{
    GlobalVariables::setAdvancedSettingsIsOpen(true);
    beginSheet(m_parentWindow);
    if (!m_profile || m_profile->allGoogleCalendars().isEmpty()) {
        openBrowserWindow();
        return;
    }
    loadUICalendars(m_profile->allGoogleCalendars());
    if (!m_profile->googleDirectUsername().isEmpty())
        m_ui->googleUsernameField->setText(m_profile->googleDirectUsername());
    if (!m_profile->googleDirectUserImage().isEmpty())
        googleSyncControllerReturnedWithUserImage(m_profile->googleDirectUserImage());
}

void GoogleDirectWindowController::didEndSheet(int)
{
    GlobalVariables::setAdvancedSettingsIsOpen(false);
    signIn().cancel();
    window()->hide();
}

void GoogleDirectWindowController::okPushed()
{
    if (m_profile) {
        QStringList identifiers;
        for (const QVariant &entry : std::as_const(m_calendars)) {
            if (entry.toMap().value(kSelected).toBool())
                identifiers << entry.toMap().value(kId).toString();
        }
        m_profile->setGoogleCalendarIdentifiersToSync(identifiers);
        const int index = m_ui->defaultCalendarPopupButton->currentIndex();
        if (index >= 0 && index < m_calendars.size())
            m_profile->setGoogleCalendarIdentifierToWriteTo(m_calendars.at(index).toMap().value(kId).toString());
        saveProfile();
    }
    endSheet(platform::NSModalResponseOK);
}

void GoogleDirectWindowController::cancelPushed()
{
    endSheet(platform::NSModalResponseCancel);
}

void GoogleDirectWindowController::nextPushed()
{
    openBrowserWindow();
}

void GoogleDirectWindowController::googleCalendarSelected(QObject *sender)
{
    if (qobject_cast<QTableWidget *>(sender) == nullptr)
        DDLogWarn(QStringLiteral("calendarCategorySelected sender is not NSTableView, but is '%1'")
                      .arg(sender != nullptr ? QString::fromLatin1(sender->metaObject()->className()) : QStringLiteral("nil")));
}

void GoogleDirectWindowController::defaultCalendarPopupButtonClicked()
{
    const int index = m_ui->defaultCalendarPopupButton->currentIndex();
    if (index >= 0 && index < m_calendars.size() &&
        m_calendars.at(index).toMap().value(kName).toString().contains(QLatin1String("(Read-only)")))
        m_ui->defaultCalendarPopupButton->setCurrentIndex(0);
}

// Ticks the profile's calendars (the primary one when it names none), fills the table and the
// pop-up, and picks the default calendar.
void GoogleDirectWindowController::loadUICalendars(QVariantList calendars)
{
    window();
    QStringList identifiers = m_profile ? m_profile->googleCalendarIdentifiersToSync() : QStringList();
    const auto primary = std::find_if(calendars.cbegin(), calendars.cend(),
                                      [](const QVariant &entry) { return entry.toMap().value(kPrimary).toBool(); });
    const int primaryIndex = primary == calendars.cend() ? -1 : int(primary - calendars.cbegin());
    const QString primaryId = primaryIndex < 0 ? QString() : primary->toMap().value(kId).toString();
    if (identifiers.isEmpty() && primaryIndex >= 0) {
        identifiers = QStringList{primaryId};
        if (m_profile)
            m_profile->setGoogleCalendarIdentifiersToSync(identifiers);
    }
    for (QVariant &entry : calendars) {
        QVariantMap map = entry.toMap();
        if (identifiers.contains(map.value(kId).toString()))
            map.insert(kSelected, true);
        entry = map;
    }
    m_calendars = calendars;
    fillCalendarTable();
    int defaultIndex = 0;
    const QString writeTo = m_profile ? m_profile->googleCalendarIdentifierToWriteTo() : QString();
    if (!writeTo.isEmpty()) {
        for (int index = 0; index < m_calendars.size(); ++index) {
            if (m_calendars.at(index).toMap().value(kId).toString() == writeTo) {
                defaultIndex = index;
                break;
            }
        }
    } else if (primaryIndex >= 0) {
        defaultIndex = primaryIndex;
        if (m_profile)
            m_profile->setGoogleCalendarIdentifierToWriteTo(primaryId);
    }
    m_ui->defaultCalendarPopupButton->clear();
    for (const QVariant &entry : std::as_const(m_calendars))
        m_ui->defaultCalendarPopupButton->addItem(entry.toMap().value(kName).toString());
    m_ui->defaultCalendarPopupButton->setCurrentIndex(m_calendars.isEmpty() ? -1 : defaultIndex);
}

void GoogleDirectWindowController::fillCalendarTable()
{
    m_isFillingTable = true;
    QTableWidget &table = *m_ui->googleCalendarsTable;
    table.setRowCount(int(m_calendars.size()));
    for (int row = 0; row < m_calendars.size(); ++row) {
        const QVariantMap entry = m_calendars.at(row).toMap();
        auto *tick = new QTableWidgetItem;
        tick->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        tick->setCheckState(entry.value(kSelected).toBool() ? Qt::Checked : Qt::Unchecked);
        table.setItem(row, 0, tick);
        auto *name = new QTableWidgetItem(entry.value(kName).toString());
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        table.setItem(row, 1, name);
    }
    m_isFillingTable = false;
}

void GoogleDirectWindowController::googleSyncControllerReturnedWithUserName(const QString &userName)
{
    if (userName.isEmpty() || !m_profile)
        return;
    m_ui->googleUsernameField->setText(userName);
    m_profile->setGoogleDirectUsername(userName);
    m_saveQueued = true;
    if (!m_isHandingOver)
        handOverEnded();
}

void GoogleDirectWindowController::googleSyncControllerReturnedWithUserImage(const QByteArray &image)
{
    if (image.isEmpty())
        return;
    // A picture that does not decode is kept as it came, and shown as none.
    QPixmap picture;
    if (picture.loadFromData(image))
        m_ui->googleUserPictureField->setPixmap(picture);
    if (m_profile)
        m_profile->setGoogleDirectUserImage(image);
}

void GoogleDirectWindowController::googleSyncControllerReturnedWithCalendarList(const QVariantList &calendars)
{
    if (m_profile)
        m_profile->setAllGoogleCalendars(calendars);
    loadUICalendars(calendars);
}

// The tokens go into the profile at once; the account's calendars, address and picture are asked
// for on a worker, and the sheet hears of them on the main thread.
void GoogleDirectWindowController::handOverTokens()
{
    if (!m_profile) {
        closeWebView();
        return;
    }
    const std::shared_ptr<HMGoogleSync> sync = HMGoogleSync::create();
    sync->setProfile(m_profile);
    sync->setAccessToken(accessToken());
    sync->setRefreshToken(refreshToken());
    sync->setTokens();
    m_isHandingOver = true;
    m_saveQueued = false;
    const QPointer<GoogleDirectWindowController> sheet(this);
    platform::DispatchQueue::global()->async([sync, sheet] {
        HandOverRelay relay(sheet);
        sync->setGoogleSyncControllerDelegate(&relay);
        sync->doStuff();
        sync->setGoogleSyncControllerDelegate(nullptr);
        platform::DispatchQueue::main()->async([sheet] {
            if (sheet)
                sheet->handOverEnded();
        });
    });
}

// After the hand-over's last answer: the browser panel closes and the save the name asked for runs.
void GoogleDirectWindowController::handOverEnded()
{
    const bool wasHandingOver = m_isHandingOver;
    m_isHandingOver = false;
    if (wasHandingOver)
        closeWebView();
    if (m_saveQueued) {
        m_saveQueued = false;
        saveProfile();
    }
}

std::shared_ptr<HMProfileManager> GoogleDirectWindowController::profileManager() const
{
    if (m_profileManager)
        return m_profileManager;
    HMAppDelegate *delegate = HMAppDelegate::sharedDelegate();
    return delegate != nullptr ? delegate->profileManager() : nullptr;
}

void GoogleDirectWindowController::saveProfile()
{
    const std::shared_ptr<HMProfileManager> manager = profileManager();
    if (!m_profile || !manager || !manager->saveProfile(*m_profile))
        DDLogError(QStringLiteral("The Google account settings could not be saved"));
}
