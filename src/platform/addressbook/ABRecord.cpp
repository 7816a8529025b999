#include "platform/addressbook/ABRecord.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABMultiValue.h"
#include "platform/addressbook/ABVCardMapping.h"
#include "platform/addressbook/VCardFolder.h"

namespace platform {

namespace {

// What the store's index holds, so reading these never opens the file.
bool isIndexedProperty(const QString &property)
{
    return property == kABFirstNameProperty || property == kABLastNameProperty
           || property == kABOrganizationProperty || property == kABModificationDateProperty
           || property == kABGroupNameProperty;
}

} // namespace

ABRecord::ABRecord(QString uniqueId) : m_uniqueId(std::move(uniqueId)) {}

QVariant ABRecord::valueForProperty(const QString &property)
{
    if (!isIndexedProperty(property))
        ensureLoaded();
    return m_values.value(property);
}

Status ABRecord::setValue(const QVariant &value, const QString &property)
{
    if (property == kABModificationDateProperty)
        return Error(ErrorCode::DataOther, QStringLiteral("%1 is set by the store").arg(property));
    const Status accepted = checkValue(property, value);
    if (!accepted)
        return accepted;
    ensureLoaded();
    m_values.insert(property, value);
    noteChange(property);
    return success();
}

Status ABRecord::removeValueForProperty(const QString &property)
{
    if (property == kABModificationDateProperty)
        return Error(ErrorCode::DataOther, QStringLiteral("%1 is set by the store").arg(property));
    ensureLoaded();
    if (m_values.remove(property) > 0)
        noteChange(property);
    return success();
}

bool ABRecord::isReadable()
{
    ensureLoaded();
    return m_readProblem.isEmpty();
}

QStringList ABRecord::searchTexts(const QString &property, const QString &key)
{
    if (!m_isLoaded && property == kABEmailProperty)
        return m_summaryEmails;
    const QVariant value = valueForProperty(property);
    if (!isMultiValue(value))
        return value.isValid() ? QStringList{value.toString()} : QStringList();
    const ABMultiValue multiValue = value.value<ABMultiValue>();
    QStringList texts;
    for (qsizetype index = 0; index < multiValue.count(); ++index) {
        const QVariant entry = multiValue.valueAtIndex(index);
        texts.append(entry.typeId() == QMetaType::QVariantMap ? entry.toMap().value(key).toString() : entry.toString());
    }
    return texts;
}

void ABRecord::setStoredValue(const QString &property, const QVariant &value)
{
    if (value.isValid())
        m_values.insert(property, value);
    else
        m_values.remove(property);
}

void ABRecord::setLoaded(const QString &problem)
{
    m_isLoaded = true;
    m_readProblem = problem;
}

void ABRecord::markUnloaded(std::shared_ptr<VCardFolder> folder)
{
    m_folder = std::move(folder);
    m_isLoaded = false;
}

void ABRecord::ensureLoaded()
{
    if (m_isLoaded)
        return;
    const std::shared_ptr<VCardFolder> folder = std::move(m_folder);
    Result<VCard> card = folder ? folder->readCard(m_fileName) : Result<VCard>(Error(ErrorCode::IoOther, QStringLiteral("no folder")));
    if (!card) {
        setLoaded(card.error().message());
        return;
    }
    // The date stays the one the index gave, so a record reads the same before and after loading.
    const QVariant modified = m_values.value(kABModificationDateProperty);
    ABVCardMapping::readCard(*card, *this);
    setStoredValue(kABModificationDateProperty, modified);
    setLoaded(QString());
}

void ABRecord::noteChange(const QString &property)
{
    if (const std::shared_ptr<ABAddressBook> book = m_book.lock())
        book->recordDidChange(*this, property);
}

} // namespace platform
