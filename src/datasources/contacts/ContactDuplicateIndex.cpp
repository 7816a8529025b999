#include "datasources/contacts/ContactDuplicateIndex.h"

#include "platform/addressbook/ABAddressBook.h"
#include "platform/addressbook/ABConstants.h"
#include "platform/addressbook/ABPerson.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace {

constexpr quint64 kFnvOffset = 14695981039346656037ULL;
constexpr quint64 kFnvPrime = 1099511628211ULL;

// Orders persons of the listing by key (std::sort, merge and search alike).
constexpr auto kByKey = [](const auto &one, const auto &other) { return one.key < other.key; };

quint64 mixed(quint64 hash, char16_t unit)
{
    return (hash ^ quint64(unit)) * kFnvPrime;
}

// Folds each text as QString::compare(..., Qt::CaseInsensitive) does, so that texts it finds equal
// have one key; a separator no text holds keeps "ab"+"c" apart from "a"+"bc". ASCII folds to its
// lower case, read in place: nearly every name is ASCII, and a folded copy of each of a book's names
// cost more than the rest of its listing.
quint64 foldedHash(quint64 hash, const QString &text)
{
    const bool isAscii = std::all_of(text.cbegin(), text.cend(), [](QChar character) { return character.unicode() < 0x80; });
    if (isAscii) {
        for (const QChar character : text) {
            const char16_t unit = character.unicode();
            hash = mixed(hash, unit >= u'A' && unit <= u'Z' ? char16_t(unit + (u'a' - u'A')) : unit);
        }
    } else {
        for (const QChar character : text.toCaseFolded())
            hash = mixed(hash, character.unicode());
    }
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
        const QString uniqueId = idOf(*it);
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
    // A person with a file was saved before, so the listing may hold it.
    m_mayListNoted = m_mayListNoted || m_hasListedUnsaved || !person.fileName().isEmpty();
}

void ContactDuplicateIndex::foldNoted(const platform::ABAddressBook &book)
{
    if (m_book.lock().get() != &book || m_showing != book.showingCount()) {
        *this = ContactDuplicateIndex();
        return;
    }
    if (m_notedKeys.isEmpty())
        return;
    if (m_mayListNoted)
        dropListedNoted();
    orderLikeTheBook(book, addNoted());
    m_noted.clear();
    m_notedKeys.clear();
    // Persons whose files a failed save did not write stay without one, and in the listing.
    m_hasListedUnsaved = m_hasListedUnsaved || book.hasUnsavedChanges();
    m_mayListNoted = false;
    if (m_unusedIdBytes > m_listedIds.size() / 4)
        compactIds();
}

void ContactDuplicateIndex::ensureListed(const std::shared_ptr<platform::ABAddressBook> &book)
{
    if (m_book.lock() == book && m_showing == book->showingCount())
        return;
    // A book shows its folder anew only without unsaved changes, and another book drops those of the
    // last one: what the listing holds now is what the persons are. The last listing goes first.
    *this = ContactDuplicateIndex();
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
        m_hasListedUnsaved = true;
        const QString uniqueId = listed.stamp().uniqueId;
        const auto person = std::dynamic_pointer_cast<platform::ABPerson>(book->recordForUniqueId(uniqueId));
        if (const auto key = person ? keyOf(*person) : std::nullopt)
            addListed(*key, uniqueId.toUtf8());
    });
    std::stable_sort(m_listed.begin(), m_listed.end(),
                     kByKey);
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

QString ContactDuplicateIndex::idOf(const Listed &listed) const
{
    return QString::fromUtf8(QByteArrayView(m_listedIds).sliced(listed.idOffset, listed.idLength));
}

void ContactDuplicateIndex::dropListedNoted()
{
    std::erase_if(m_listed, [this](const Listed &listed) {
        if (!m_notedKeys.contains(idOf(listed)))
            return false;
        m_unusedIdBytes += listed.idLength;
        return true;
    });
}

std::vector<quint64> ContactDuplicateIndex::addNoted()
{
    std::vector<quint64> keys;
    keys.reserve(size_t(m_noted.size()));
    qsizetype idBytes = m_listedIds.size();
    size_t persons = m_listed.size();
    for (auto it = m_noted.cbegin(); it != m_noted.cend(); ++it) {
        keys.push_back(it.key());
        persons += size_t(it.value().size());
        for (const QString &uniqueId : it.value())
            idBytes += uniqueId.toUtf8().size();
    }
    std::sort(keys.begin(), keys.end());
    // Grown exactly: a growing block doubles and would hold up to twice what the listing keeps.
    m_listed.reserve(persons);
    m_listedIds.reserve(idBytes);
    const auto listedEnd = std::ptrdiff_t(m_listed.size());
    for (const quint64 key : keys) {
        for (const QString &uniqueId : m_noted.value(key))
            addListed(key, uniqueId.toUtf8());
    }
    std::inplace_merge(m_listed.begin(), m_listed.begin() + listedEnd, m_listed.end(), kByKey);
    return keys;
}

// A key's persons lie in the listing's order, which the run's saves change only where they added
// persons: those are put where a new listing would have them, among the others of their key.
void ContactDuplicateIndex::orderLikeTheBook(const platform::ABAddressBook &book, const std::vector<quint64> &keys)
{
    std::vector<std::pair<qsizetype, Listed>> placed;
    for (const quint64 key : keys) {
        const auto [first, last] = std::equal_range(m_listed.begin(), m_listed.end(), Listed{key, 0, 0}, kByKey);
        if (last - first < 2)
            continue;
        placed.clear();
        for (auto it = first; it != last; ++it) {
            // A person the book no longer lists (removed since) goes last; the caller finds no record.
            const std::optional<qsizetype> position = book.listingPosition(idOf(*it));
            placed.emplace_back(position.value_or(std::numeric_limits<qsizetype>::max()), *it);
        }
        std::stable_sort(placed.begin(), placed.end(),
                         [](const auto &one, const auto &other) { return one.first < other.first; });
        std::transform(placed.cbegin(), placed.cend(), first, [](const auto &one) { return one.second; });
    }
}

void ContactDuplicateIndex::compactIds()
{
    QByteArray ids;
    ids.reserve(m_listedIds.size() - m_unusedIdBytes);
    for (Listed &listed : m_listed) {
        const auto offset = quint32(ids.size());
        ids.append(QByteArrayView(m_listedIds).sliced(listed.idOffset, listed.idLength));
        listed.idOffset = offset;
    }
    m_listedIds = std::move(ids);
    m_unusedIdBytes = 0;
}
