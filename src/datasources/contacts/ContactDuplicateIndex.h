#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace platform {
class ABAddressBook;
class ABPerson;
} // namespace platform

// The persons of an address book filed by first name, last name and organization, folded as a
// case-insensitive comparison folds them: the candidates of a run's duplicate tests, each found in
// constant time however many persons share a name. The book is listed once, on the first look-up;
// the persons the run writes are filed again under the values they have then. Another book, or the
// same book showing its folder anew (another program changed it), is listed again.
// The look-up gives candidates only: the caller decides on each person's values.
class ContactDuplicateIndex final
{
public:
    // The unique ids of the persons that may have these values (an empty one matching only empty
    // ones): those the run filed, in the order filed, then those of the listing, in its order; none
    // when both names are empty.
    QStringList candidates(const std::shared_ptr<platform::ABAddressBook> &book, const QString &firstName, const QString &lastName,
                           const QString &organization);
    // Files the person under the values it has now.
    void note(platform::ABPerson &person);

private:
    // The key of the values; none when both names are empty: such a person matches no record, and
    // a record without a name has no duplicates.
    static std::optional<quint64> keyOf(const QString &firstName, const QString &lastName, const QString &organization);
    static std::optional<quint64> keyOf(platform::ABPerson &person);
    // Lists the book when it is another book or shows its folder anew since it was listed.
    void ensureListed(const std::shared_ptr<platform::ABAddressBook> &book);
    void reserveListing(const platform::ABAddressBook &book);

    std::weak_ptr<platform::ABAddressBook> m_book;
    quint64 m_showing = 0;
    // A person of the listing: its key, and where its unique id's UTF-8 lies in m_listedIds (which
    // the book's index bounds far below 4 GB).
    struct Listed
    {
        quint64 key = 0;
        quint32 idOffset = 0;
        quint32 idLength = 0;
    };
    // The persons of the listing, sorted by key and in the listing's order within one. A book lists
    // every person, so the ids lie one after the other in one block rather than as a text apiece:
    // 16 bytes a person here and the id's bytes there.
    std::vector<Listed> m_listed;
    QByteArray m_listedIds;
    void addListed(quint64 key, QByteArrayView uniqueIdUtf8);
    // Unique ids by key: the persons the run filed.
    QHash<quint64, QStringList> m_noted;
    // The key each person the run filed is under (none: it matches no record); such a person's place
    // in m_listed no longer counts.
    QHash<QString, std::optional<quint64>> m_notedKeys;
};
