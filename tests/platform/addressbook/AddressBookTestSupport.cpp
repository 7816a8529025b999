#include "AddressBookTestSupport.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABMultiValue.h"
#include "platform/addressbook/ABPerson.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

void prepareProcessFolders()
{
    static QTemporaryDir s_home;
    static const bool s_isPrepared = [] {
        testsupport::pointHomeAt(s_home.path());
        return true;
    }();
    Q_UNUSED(s_isPrepared);
}

QString valueText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime().toUTC().toString(Qt::ISODate);
    if (value.typeId() == QMetaType::QByteArray)
        return QStringLiteral("<%1 bytes>").arg(value.toByteArray().size());
    if (value.typeId() == QMetaType::QVariantMap) {
        QStringList parts;
        const QVariantMap map = value.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            parts.append(it.key() + QLatin1Char('=') + it.value().toString().replace(QLatin1Char('\n'), QLatin1String("\\n")));
        return QLatin1Char('{') + parts.join(QLatin1String(", ")) + QLatin1Char('}');
    }
    return value.toString().replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

} // namespace

StoreFolder::StoreFolder()
{
    prepareProcessFolders();
    QDir().mkpath(path());
    platform::UserDefaults::standardUserDefaults().setObject(path(), platform::ABAddressBook::kFolderDefaultsKey);
}

StoreFolder::~StoreFolder()
{
    platform::UserDefaults::standardUserDefaults().removeObjectForKey(platform::ABAddressBook::kFolderDefaultsKey);
}

void StoreFolder::writeFile(const QString &name, const QByteArray &bytes) const
{
    QFile file(filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << name.toStdString();
    file.write(bytes);
}

QByteArray StoreFolder::readFile(const QString &name) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList StoreFolder::cardFiles() const
{
    QStringList names = QDir(path()).entryList({QStringLiteral("*.vcf")}, QDir::Files);
    names.sort();
    return names;
}

QString dumpRecord(platform::ABRecord &record)
{
    using namespace platform;
    static const QStringList properties = {
        kABFirstNameProperty, kABLastNameProperty, kABMiddleNameProperty, kABTitleProperty, kABSuffixProperty,
        kABFirstNamePhoneticProperty, kABLastNamePhoneticProperty, kABNicknameProperty, kABOrganizationProperty,
        kABDepartmentProperty, kABJobTitleProperty, kABNoteProperty, kABBirthdayProperty, kABGroupNameProperty,
        ABPerson::kImageDataProperty, kABPhoneProperty, kABEmailProperty, kABURLsProperty, kABInstantMessageProperty,
        kABAddressProperty, kABOtherDatesProperty};
    QStringList lines;
    for (const QString &property : properties) {
        const QVariant value = record.valueForProperty(property);
        if (!value.isValid())
            continue;
        if (!isMultiValue(value)) {
            lines.append(property + QStringLiteral(": ") + valueText(value));
            continue;
        }
        const ABMultiValue values = value.value<ABMultiValue>();
        for (qsizetype index = 0; index < values.count(); ++index)
            lines.append(QStringLiteral("%1[%2]: %3").arg(property, values.labelAtIndex(index),
                                                        valueText(values.valueAtIndex(index))));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QByteArray sampleBytes(const QString &name)
{
    QFile file(testsupport::sourceDir() + QStringLiteral("/tests/platform/addressbook/samples/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
