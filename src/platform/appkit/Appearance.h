#pragma once

#include <QDBusVariant>
#include <QObject>

#include <optional>

namespace platform {

// Whether the desktop is in its dark colour scheme. The desktop portal's "color-scheme" setting
// (1: prefer dark) decides where a portal answers; elsewhere the application palette does (a dark
// window colour). The answer is read once at start and kept up to date from the portal's
// SettingChanged signal and the application's palette changes. Main thread only.
class Appearance final : public QObject
{
    Q_OBJECT

public:
    static Appearance &shared();

    bool isDark() const;
    // Fixes the answer (tests); nullopt returns to the desktop's. Emits changed when it differs.
    void setOverride(std::optional<bool> isDark);

signals:
    void changed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void portalSettingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value);

private:
    Appearance();
    void readPortalColorScheme();
    void setPortalColorScheme(uint scheme);

    std::optional<bool> m_override;
    std::optional<uint> m_portalColorScheme;
};

} // namespace platform
