#include "datasources/contacts/ContactDuplicateIndex.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABPerson.h"

#include <algorithm>
#include <optional>

namespace {

constexpr quint64 kFnvOffset = 14695981039346656037ULL;
constexpr quint64 kFnvPrime = 1099511628211ULL;

// Folds each text as QString::compare(..., Qt::CaseInsensitive) does, so that texts it finds equal
// have one key; a separator no text holds keeps "ab"+"c" apart from "a"+"bc".
quint64 foldedHash(quint64 hash, const QString &text)
{
    for (const QChar character : text.toCaseFolded())
        hash = (hash ^ quint64(character.unicode())) * kFnvPrime;
    return (hash ^ 0x1FFFFULL) * kFnvPrime;
}

} // namespace

std::optional<quint64> ContactDuplicateIndex::keyOf(const QString &firstName, const QString &lastName,
                                                   const QString &organization)
{
    if (firstName.isEmpty() && lastName.isEmpty())
        return std::nullopt;
    return foldedHash(foldedHash(foldedHash(kFnvOffset, firstName), lastName), organization);
}

std::optional<quint64> ContactDuplicateIndex::keyOf(platform::ABPerson &person)
{
    return keyOf(person.valueForProperty(platform::kABFirstNameProperty).toString(),
                 person.valueForProperty(platform::kABLastNameProperty).toString(),
                 person.valueForProperty(platform::kABOrganizationProperty).toString());
}

QStringList ContactDuplicateIndex::candidates(const std::shared_ptr<platform::ABAddressBook> &book, const QString &firstName,
                                              const QString &lastName, const QString &organization)
{
    const std::optional<quint64> key = keyOf(firstName, lastName, organization);
    if (!key)
        return {};
    ensureListed(book);
    QStringList found = m_noted.value(*key);
    const auto byKey = [](const Listed &listed, quint64 wanted) { return listed.key < wanted; };
    for (auto it = std::lower_bound(m_listed.cbegin(), m_listed.cend(), *key, byKey);
         it != m_listed.cend() && it->key == *key; ++it) {
        const QString uniqueId = QString::fromUtf8(QByteArrayView(m_listedIds).sliced(it->idOffset, it->idLength));
        if (!m_notedKeys.contains(uniqueId))
            found.append(uniqueId);
    }
    return found;
}

void ContactDuplicateIndex::note(platform::ABPerson &person)
{
    const QString uniqueId = person.uniqueId();
    const std::optional<quint64> key = keyOf(person);
    const auto filed = m_notedKeys.constFind(uniqueId);
    if (filed != m_notedKeys.constEnd()) {
        if (filed.value() == key)
            return;
        if (filed.value()) {
            QStringList &others = m_noted[*filed.value()];
            others.removeOne(uniqueId);
            if (others.isEmpty())
                m_noted.remove(*filed.value());
        }
    }
    if (key)
        m_noted[*key].append(uniqueId);
    m_notedKeys.insert(uniqueId, key);
}

void ContactDuplicateIndex::ensureListed(const std::shared_ptr<platform::ABAddressBook> &book)
{
    if (m_book.lock() == book && m_showing == book->showingCount())
        return;
    // A book shows its folder anew only without unsaved changes, and another book drops those of the
    // last one: what the listing holds now is what the persons are.
    m_listed.clear();
    m_listedIds.clear();
    m_noted.clear();
    m_notedKeys.clear();
    m_book = book;
    m_showing = book->showingCount();
    reserveListing(*book);
    book->visitListedPersons([this, &book](const platform::ABAddressBook::ListedPerson &listed) {
        if (const std::optional<platform::VCardSummary> summary = listed.summary()) {
            if (const auto key = keyOf(summary->firstName, summary->lastName, summary->organization)) {
                const QByteArrayView asIndexed = listed.uniqueIdUtf8();
                addListed(*key, asIndexed.isEmpty() ? QByteArrayView(summary->uniqueId.toUtf8()) : asIndexed);
            }
            return;
        }
        // A person added and not yet saved is read from the book itself.
        const QString uniqueId = listed.stamp().uniqueId;
        const auto person = std::dynamic_pointer_cast<platform::ABPerson>(book->recordForUniqueId(uniqueId));
        if (const auto key = person ? keyOf(*person) : std::nullopt)
            addListed(*key, uniqueId.toUtf8());
    });
    std::stable_sort(m_listed.begin(), m_listed.end(),
                     [](const Listed &one, const Listed &other) { return one.key < other.key; });
    // Shrinking copies the block: worth it only where many persons had no name to be filed under.
    if (m_listed.size() < m_listed.capacity() - m_listed.capacity() / 4)
        m_listed.shrink_to_fit();
    if (m_listedIds.size() < m_listedIds.capacity() - m_listedIds.capacity() / 4)
        m_listedIds.squeeze();
}

// Room for every person and id at once: grown step by step, each block would be copied into one
// twice its size and the listing would briefly hold about twice what it keeps.
void ContactDuplicateIndex::reserveListing(const platform::ABAddressBook &book)
{
    size_t persons = 0;
    qsizetype idBytes = 0;
    book.visitListedPersons([&persons, &idBytes](const platform::ABAddressBook::ListedPerson &listed) {
        ++persons;
        idBytes += listed.uniqueIdUtf8().size();
    });
    m_listed.reserve(persons);
    m_listedIds.reserve(idBytes);
}

void ContactDuplicateIndex::addListed(quint64 key, QByteArrayView uniqueIdUtf8)
{
    m_listed.push_back(Listed{key, quint32(m_listedIds.size()), quint32(uniqueIdUtf8.size())});
    m_listedIds.append(uniqueIdUtf8);
}
