#pragma once

#include "platform/addressbook/VCard.h"
#include "platform/foundation/Result.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <utility>
#include <vector>

namespace platform {

class ABAddressBook;
class VCardFolder;

// The values of one record by property name. A record holds a dozen or two, which a short list finds
// faster than a hash table, with no table to allocate; the names callers pass are nearly always the
// shared constants of ABConstants.h, found by the address of their text before any text is compared.
class ABPropertyValues final
{
public:
    // Invalid when the record has no value for the property.
    QVariant value(const QString &property) const;
    bool contains(const QString &property) const { return indexOf(property) >= 0; }
    void insert(const QString &property, const QVariant &value);
    // Whether there was a value to remove.
    bool remove(const QString &property);

private:
    qsizetype indexOf(const QString &property) const;

    std::vector<std::pair<QString, QVariant>> m_values;
};

// A person or a group of an address book: a unique id and values by property name. A record read
// from the store starts with only what the store's index holds (unique id, modification date,
// names, organization, e-mail texts) and reads its file on the first access to anything else, so
// listing a large unchanged store parses nothing. Changes mark it changed in its address book until
// the book is saved. Used on one thread at a time, like its address book; owned by shared pointers.
class ABRecord : public std::enable_shared_from_this<ABRecord>
{
public:
    virtual ~ABRecord() = default;
    ABRecord(const ABRecord &) = delete;
    ABRecord &operator=(const ABRecord &) = delete;

    const QString &uniqueId() const { return m_uniqueId; }
    virtual bool isGroup() const = 0;

    // The value of the property; an invalid QVariant when the record has none.
    QVariant valueForProperty(const QString &property);
    // Fails for an unknown or read-only property and for a value of the wrong type (text, date,
    // data or ABMultiValue, as the property needs).
    Status setValue(const QVariant &value, const QString &property);
    Status removeValueForProperty(const QString &property);

    // Whether the record's file could be read; reads it when that has not happened yet. A record
    // that cannot be read answers only what the index held.
    bool isReadable();
    QString readProblem() const { return m_readProblem; }
    // The texts a search compares for the property: the value of a text property, the values of a
    // multi-value (the key's member for dictionaries). Served from the index when it can be.
    QStringList searchTexts(const QString &property, const QString &key);

    // For the store and its vCard mapping.
    std::shared_ptr<ABAddressBook> addressBook() const { return m_book.lock(); }
    void attachToAddressBook(const std::shared_ptr<ABAddressBook> &book) { m_book = book; }
    const QString &fileName() const { return m_fileName; }
    void setFileName(const QString &fileName) { m_fileName = fileName; }
    bool isLoaded() const { return m_isLoaded; }
    // The values as read, without marking the record changed.
    void setStoredValue(const QString &property, const QVariant &value);
    void setSummaryEmails(const QStringList &emails) { m_summaryEmails = emails; }
    // The record's file is read from the folder on first need; the record may outlive its book.
    void markUnloaded(std::shared_ptr<VCardFolder> folder);
    void setLoaded(const QString &problem);
    const ABPropertyValues &storedValues() const { return m_values; }
    // vCard lines the mapping does not understand, and categories that name no group: written back
    // unchanged, so another program's data survives our edits.
    QList<VCardProperty> &foreignLines() { return m_foreignLines; }
    QStringList &foreignCategories() { return m_foreignCategories; }
    // The text of the card the record was last read from or written as; empty for a record not yet
    // saved. A save changes in it only what the record changed. The text is kept, not the card read
    // from it: a changed record waiting for the save holds its bytes, not a text for every line.
    const QByteArray &sourceCardText() const { return m_sourceCardText; }
    void setSourceCardText(QByteArray text) { m_sourceCardText = std::move(text); }

protected:
    explicit ABRecord(QString uniqueId);
    // Whether the property is one the record takes; false with the reason when not.
    virtual Status checkValue(const QString &property, const QVariant &value) const = 0;
    void ensureLoaded();
    void noteChange(const QString &property);

private:
    QString m_uniqueId;
    ABPropertyValues m_values;
    std::weak_ptr<ABAddressBook> m_book;
    std::shared_ptr<VCardFolder> m_folder;
    QString m_fileName;
    bool m_isLoaded = true;
    QString m_readProblem;
    QStringList m_summaryEmails;
    QList<VCardProperty> m_foreignLines;
    QStringList m_foreignCategories;
    QByteArray m_sourceCardText;
};

} // namespace platform
