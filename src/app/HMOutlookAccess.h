#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the main window asks of Outlook before a sync of an Outlook profile: the running Outlook's
// version, and the folder lists and account addresses its scripts return. Outlook detection
// implements it; main thread only.
class HMOutlookAccess
{
public:
    virtual ~HMOutlookAccess() = default;

    // The running Outlook's version text, or a null text when no Outlook is found.
    virtual QString detectOutlookVersionNumber() = 0;
    // The texts of the items of the script's result, in order; nothing when the script fails.
    virtual std::optional<QStringList> runScript(const QString &source) = 0;
};

// A system without Outlook: this is every Linux system, so no version is found and every script fails.
class HMNoOutlookInstalled final : public HMOutlookAccess
{
public:
    QString detectOutlookVersionNumber() override;
    std::optional<QStringList> runScript(const QString &source) override;
};
