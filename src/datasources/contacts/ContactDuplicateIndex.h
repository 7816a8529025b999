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
// the persons the run writes are filed again under the values they have then, and join the listing
// when the book has saved them, where a new listing of the saved book would place them: the run's
// own saves never make it list the book again. Another book, or the same book showing its folder
// anew (another program changed it), is listed again.
// The look-up gives candidates only: the caller decides on each person's values. Used on one thread
// at a time, as its book is.
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
    // Called after each save of the book: the persons filed since the last call join the listing. An
    // index of another book, or of one that showed its folder anew, lets everything go instead.
    void foldNoted(const platform::ABAddressBook &book);

private:
    // A person of the listing: its key, and where its unique id's UTF-8 lies in m_listedIds (which
    // the book's index bounds far below 4 GB).
    struct Listed
    {
        quint64 key = 0;
        quint32 idOffset = 0;
        quint32 idLength = 0;
    };

    // The key of the values; none when both names are empty: such a person matches no record, and
    // a record without a name has no duplicates.
    static std::optional<quint64> keyOf(const QString &firstName, const QString &lastName, const QString &organization);
    static std::optional<quint64> keyOf(platform::ABPerson &person);
    // Lists the book when it is another book or shows its folder anew since it was listed.
    void ensureListed(const std::shared_ptr<platform::ABAddressBook> &book);
    void reserveListing(const platform::ABAddressBook &book);
    void addListed(quint64 key, QByteArrayView uniqueIdUtf8);
    QString idOf(const Listed &listed) const;
    // Removes from the listing the persons filed since it was made (their new places are added next).
    void dropListedNoted();
    // Adds the persons filed since the listing was made, keeping the listing in key order; answers
    // their keys, each once.
    std::vector<quint64> addNoted();
    // Puts the persons of each key in the order the book lists them.
    void orderLikeTheBook(const platform::ABAddressBook &book, const std::vector<quint64> &keys);
    // Packs the ids anew once the bytes no person points at make a quarter of the block.
    void compactIds();

    std::weak_ptr<platform::ABAddressBook> m_book;
    quint64 m_showing = 0;
    // The persons of the listing, sorted by key and in the listing's order within one. A book lists
    // every person, so the ids lie one after the other in one block rather than as a text apiece:
    // 16 bytes a person here and the id's bytes there.
    std::vector<Listed> m_listed;
    QByteArray m_listedIds;
    // Bytes of m_listedIds no person of the listing points at any more.
    qsizetype m_unusedIdBytes = 0;
    // Unique ids by key: the persons the run filed since the listing was made or last folded.
    QHash<quint64, QStringList> m_noted;
    // The key each person the run filed is under (none: it matches no record); such a person's place
    // in m_listed no longer counts.
    QHash<QString, std::optional<quint64>> m_notedKeys;
    // Some person filed may have a place in m_listed: one saved before, or one without a file while
    // the listing holds such persons (unsaved ones it listed, or ones a failed save left unwritten).
    // When none may (a run adding persons), folding skips the search.
    bool m_mayListNoted = false;
    bool m_hasListedUnsaved = false;
};
