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

qsizetype ABPropertyValues::indexOf(const QString &property) const
{
    const auto count = qsizetype(m_values.size());
    for (qsizetype index = 0; index < count; ++index) {
        const QString &name = m_values[size_t(index)].first;
        if (name.constData() == property.constData() && name.size() == property.size())
            return index;
    }
    for (qsizetype index = 0; index < count; ++index) {
        if (m_values[size_t(index)].first == property)
            return index;
    }
    return -1;
}

QVariant ABPropertyValues::value(const QString &property) const
{
    const qsizetype index = indexOf(property);
    return index < 0 ? QVariant() : m_values[size_t(index)].second;
}

void ABPropertyValues::insert(const QString &property, const QVariant &value)
{
    if (const qsizetype index = indexOf(property); index >= 0) {
        m_values[size_t(index)].second = value;
        return;
    }
    // Most records hold a handful of values or a dozen: room for 8 spares the smallest steps.
    if (m_values.empty())
        m_values.reserve(8);
    m_values.emplace_back(property, value);
}

bool ABPropertyValues::remove(const QString &property)
{
    const qsizetype index = indexOf(property);
    if (index < 0)
        return false;
    m_values.erase(m_values.begin() + index);
    return true;
}

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
    if (m_values.remove(property))
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
    QByteArray text;
    Result<VCard> card = folder ? folder->readCard(m_fileName, &text)
                                : Result<VCard>(Error(ErrorCode::IoOther, QStringLiteral("no folder")));
    if (!card) {
        setLoaded(card.error().message());
        return;
    }
    // The date stays the one the index gave, so a record reads the same before and after loading.
    const QVariant modified = m_values.value(kABModificationDateProperty);
    ABVCardMapping::readCard(*card, *this);
    m_sourceCardText = std::move(text);
    setStoredValue(kABModificationDateProperty, modified);
    setLoaded(QString());
}

void ABRecord::noteChange(const QString &property)
{
    if (const std::shared_ptr<ABAddressBook> book = m_book.lock())
        book->recordDidChange(*this, property);
}

} // namespace platform
