#include "platform/appkit/Appearance.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QPalette>

namespace platform {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearanceNamespace = QStringLiteral("org.freedesktop.appearance");
const QString kColorSchemeKey = QStringLiteral("color-scheme");
constexpr uint kPreferDark = 1;
constexpr int kDarkLightnessLimit = 128;

// The portal wraps the value in one or two variants, depending on its version.
QVariant unwrapped(QVariant value)
{
    for (int depth = 0; depth < 3 && value.canConvert<QDBusVariant>(); ++depth)
        value = value.value<QDBusVariant>().variant();
    return value;
}

} // namespace

Appearance &Appearance::shared()
{
    static Appearance *const s_appearance = new Appearance;
    return *s_appearance;
}

Appearance::Appearance()
{
    if (QCoreApplication::instance() != nullptr)
        qApp->installEventFilter(this);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(kPortalService, kPortalPath, kSettingsInterface, QStringLiteral("SettingChanged"), this,
                SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
    readPortalColorScheme();
}

bool Appearance::isDark() const
{
    if (m_override)
        return *m_override;
    if (m_portalColorScheme)
        return *m_portalColorScheme == kPreferDark;
    return QApplication::palette().color(QPalette::Window).lightness() < kDarkLightnessLimit;
}

void Appearance::setOverride(std::optional<bool> isDark)
{
    const bool wasDark = this->isDark();
    m_override = isDark;
    if (this->isDark() != wasDark)
        emit changed();
}

bool Appearance::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && !m_portalColorScheme)
        emit changed();
    return false;
}

void Appearance::readPortalColorScheme()
{
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kSettingsInterface,
                                                       QStringLiteral("Read"));
    call << kAppearanceNamespace << kColorSchemeKey;
    auto *const watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 2000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *finished) {
        const QDBusPendingReply<QVariant> reply = *finished;
        if (!reply.isError()) {
            bool isNumber = false;
            const uint scheme = unwrapped(reply.value()).toUInt(&isNumber);
            if (isNumber)
                setPortalColorScheme(scheme);
        }
        finished->deleteLater();
    });
}

void Appearance::portalSettingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value)
{
    if (nameSpace != kAppearanceNamespace || key != kColorSchemeKey)
        return;
    bool isNumber = false;
    const uint scheme = unwrapped(value.variant()).toUInt(&isNumber);
    if (isNumber)
        setPortalColorScheme(scheme);
}

void Appearance::setPortalColorScheme(uint scheme)
{
    const bool wasDark = isDark();
    m_portalColorScheme = scheme;
    if (isDark() != wasDark)
        emit changed();
}

} // namespace platform
