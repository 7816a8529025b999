// A page of the Google Contacts feed read into contact records.
#include "google/GoogleContactFeed.h"

#include "foundation/Lumberjack/DDLog.h"
#include "google/XMLDictionaryParser.h"

#include <QTimeZone>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace googlecontactfeed {

namespace {

// One entry's elements as read, the entry first, each after its parent. Lookups answer as the XML
// dictionary form would: an element without attributes or children but with text is that text (its
// attributes and children are none), any other element a node whose own text counts only when it is
// one piece (pieces broken by children make a list, which has no text); a name repeated among the
// children is a list, whose elements have no attributes and no text as one value.
class EntryTree final
{
public:
    static constexpr int kAbsent = -1;
    static constexpr int kMany = -2;

    struct Element
    {
        std::string name;
        int parent = -1;
        bool hasChildren = false;
        std::vector<std::pair<std::string, QString>> attributes;
        QStringList texts; // the trimmed pieces that are not empty
    };

    void clear() { m_elements.clear(); }
    int add(const char *name, int parent, const char *const *attributes);
    Element &at(int index) { return m_elements[size_t(index)]; }
    bool isEmpty() const { return m_elements.empty(); }

    // The only child of that name; kAbsent or kMany.
    int lookup(int parent, std::string_view name) const;
    std::vector<int> listOf(int parent, std::string_view name) const;
    bool contains(int parent, std::string_view name) const { return lookup(parent, name) != kAbsent; }
    bool isText(int index) const;
    bool isNode(int index) const { return index >= 0 && !isText(index); }
    QString textOf(int index) const;
    // The text of the only child of that name; null when there is none or many.
    QString childText(int parent, std::string_view name) const;
    // An attribute of a node; null of a text, a list or nothing.
    QString attribute(int index, std::string_view name) const;

private:
    std::vector<Element> m_elements;
};

int EntryTree::add(const char *name, int parent, const char *const *attributes)
{
    Element element;
    element.name = name;
    element.parent = parent;
    for (const char *const *pair = attributes; pair[0] != nullptr; pair += 2) {
        // A repeated attribute is no well-formed XML; the last one stands, as in the dictionary.
        const std::string key = pair[0];
        const QString value = xmldictionary::attributeText(pair[1]);
        auto found = std::find_if(element.attributes.begin(), element.attributes.end(),
                                  [&key](const auto &attribute) { return attribute.first == key; });
        if (found != element.attributes.end())
            found->second = value;
        else
            element.attributes.emplace_back(key, value);
    }
    if (parent >= 0)
        m_elements[size_t(parent)].hasChildren = true;
    m_elements.push_back(std::move(element));
    return int(m_elements.size()) - 1;
}

int EntryTree::lookup(int parent, std::string_view name) const
{
    int found = kAbsent;
    for (size_t index = size_t(parent) + 1; index < m_elements.size(); ++index) {
        if (m_elements[index].parent != parent || m_elements[index].name != name)
            continue;
        if (found != kAbsent)
            return kMany;
        found = int(index);
    }
    return found;
}

std::vector<int> EntryTree::listOf(int parent, std::string_view name) const
{
    std::vector<int> found;
    for (size_t index = size_t(parent) + 1; index < m_elements.size(); ++index) {
        if (m_elements[index].parent == parent && m_elements[index].name == name)
            found.push_back(int(index));
    }
    return found;
}

bool EntryTree::isText(int index) const
{
    const Element &element = m_elements[size_t(index)];
    return element.attributes.empty() && !element.hasChildren && !element.texts.isEmpty();
}

QString EntryTree::textOf(int index) const
{
    const QStringList &texts = m_elements[size_t(index)].texts;
    return texts.size() == 1 ? texts.first() : QString();
}

QString EntryTree::childText(int parent, std::string_view name) const
{
    const int child = lookup(parent, name);
    return child >= 0 ? textOf(child) : QString();
}

QString EntryTree::attribute(int index, std::string_view name) const
{
    if (!isNode(index))
        return {};
    for (const auto &[key, value] : m_elements[size_t(index)].attributes) {
        if (key == name)
            return value;
    }
    return {};
}

QDateTime dateOnly(const QString &text)
{
    const QDate date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    return date.isValid() ? QDateTime(date, QTime(0, 0), QTimeZone::systemTimeZone()) : QDateTime();
}

// The entry is element 0 of the tree in every reader below.
constexpr int kEntry = 0;

void readNames(const EntryTree &tree, QVariantMap &record)
{
    static const char *const keys[][2] = {{"gd:givenName", "NEWFNAME"},     {"gd:familyName", "NEWLNAME"},
                                          {"gd:additionalName", "MIDNAME"}, {"gd:namePrefix", "SALUTATION"},
                                          {"gd:nameSuffix", "SUFFIX"}};
    if (const int name = tree.lookup(kEntry, "gd:name"); tree.isNode(name)) {
        for (const auto &key : keys) {
            if (tree.contains(name, key[0]))
                record.insert(QLatin1String(key[1]), tree.childText(name, key[0]));
        }
    }
    if (const int organization = tree.lookup(kEntry, "gd:organization"); tree.isNode(organization)) {
        if (tree.contains(organization, "gd:orgName"))
            record.insert(QStringLiteral("COMPANY"), tree.childText(organization, "gd:orgName"));
        if (tree.contains(organization, "gd:orgTitle"))
            record.insert(QStringLiteral("TITLE"), tree.childText(organization, "gd:orgTitle"));
    }
}

// The first address of each kind, unless a later one of that kind is the primary one.
void readEmails(const EntryTree &tree, QVariantMap &record)
{
    static const char *const kinds[][2] = {{"#work", "EMAIL"}, {"#home", "EMAIL2"}, {"#other", "EMAIL3"}};
    for (const int email : tree.listOf(kEntry, "gd:email")) {
        if (tree.isText(email)) {
            DDLogInfo(QStringLiteral("NOT A DICTIONARY: %1").arg(tree.textOf(email)));
            continue;
        }
        const QString rel = tree.attribute(email, "rel");
        const QString address = tree.attribute(email, "address");
        if (rel.isEmpty() || address.isEmpty())
            continue;
        for (const auto &kind : kinds) {
            const QString key = QLatin1String(kind[1]);
            if (rel.contains(QLatin1String(kind[0])) &&
                (!record.contains(key) || tree.attribute(email, "primary") == QLatin1String("true"))) {
                record.insert(key, address);
                break;
            }
        }
    }
}

void readRelations(const EntryTree &tree, QVariantMap &record)
{
    QStringList children;
    for (const int relation : tree.listOf(kEntry, "gContact:relation")) {
        const QString rel = tree.attribute(relation, "rel");
        const QString text = tree.textOf(relation);
        if (rel == QLatin1String("spouse"))
            record.insert(QStringLiteral("SPOUSE"), text);
        else if (rel == QLatin1String("assistant"))
            record.insert(QStringLiteral("ASSISTANT"), text);
        else if (rel == QLatin1String("child"))
            children << text;
    }
    if (!children.isEmpty())
        record.insert(QStringLiteral("CHILDREN"), children.join(QStringLiteral(", ")));
}

// The first number of each kind (a lone one whatever came before).
void readPhones(const EntryTree &tree, QVariantMap &record)
{
    static const char *const kinds[][2] = {{"#work_fax", "WORKFAX"}, {"#home_fax", "HOMEFAX"}, {"#work", "WORKPHONE"},
                                           {"#home", "HOMEPHONE"},   {"#other", "OTHERPHONE"}, {"#mobile", "CELLPHONE"},
                                           {"#pager", "PAGER"},      {"#main", "MAINPHONE"}};
    const std::vector<int> phones = tree.listOf(kEntry, "gd:phoneNumber");
    const bool isLone = phones.size() == 1 && tree.isNode(phones.front());
    for (const int phone : phones) {
        const QString rel = tree.attribute(phone, "rel");
        if (rel.isEmpty())
            continue;
        for (const auto &kind : kinds) {
            const QString key = QLatin1String(kind[1]);
            if (rel.contains(QLatin1String(kind[0])) && (isLone || !record.contains(key))) {
                record.insert(key, tree.textOf(phone));
                break;
            }
        }
    }
}

// keys: the three street lines, city, region, postcode, country. A text address has no fields.
void readOneAddress(const EntryTree &tree, int address, const char *const keys[7], QVariantMap &record)
{
    if (!tree.isNode(address))
        return;
    QStringList lines = tree.childText(address, "gd:street").split(u'\n');
    lines.removeAll(QString());
    for (int line = 0; line < 3 && line < lines.size(); ++line)
        record.insert(QLatin1String(keys[line]), lines.at(line));
    static const char *const parts[] = {"gd:city", "gd:region", "gd:postcode"};
    for (int part = 0; part < 3; ++part) {
        if (tree.contains(address, parts[part]))
            record.insert(QLatin1String(keys[3 + part]), tree.childText(address, parts[part]));
    }
    // The country only in its attributed form (Google writes it with a code).
    if (const int country = tree.lookup(address, "gd:country"); tree.isNode(country))
        record.insert(QLatin1String(keys[6]), tree.textOf(country));
}

// The first address of each kind; the "#other" one fills the work fields when there is no work one.
void readAddresses(const EntryTree &tree, QVariantMap &record)
{
    static const char *const work[7] = {"ADDRESS1", "ADDRESS2", "ADDRESS3", "CITY", "STATE", "ZIP", "COUNTRY"};
    static const char *const home[7] = {"HOMEADDR1", "HOMEADDR2", "HOMEADDR3", "HOMECITY",
                                        "HOMESTATE", "HOMEZIP",   "HOMECNTRY"};
    static const char *const other[7] = {"OTHERADDR1", "OTHERADDR2", "OTHERADDR3", "OTHERCITY",
                                         "OTHERSTATE", "OTHERZIP",   "OTHERCNTRY"};
    const std::vector<int> addresses = tree.listOf(kEntry, "gd:structuredPostalAddress");
    bool hasWork = false;
    for (const int address : addresses)
        hasWork = hasWork || tree.attribute(address, "rel").contains(QLatin1String("#work"));
    bool workDone = false, homeDone = false, otherDone = false;
    for (const int address : addresses) {
        const QString rel = tree.attribute(address, "rel");
        if (rel.contains(QLatin1String("#work")) && !workDone) {
            readOneAddress(tree, address, work, record);
            workDone = true;
        } else if (rel.contains(QLatin1String("#home")) && !homeDone) {
            readOneAddress(tree, address, home, record);
            homeDone = true;
        } else if (rel.contains(QLatin1String("#other")) && !otherDone) {
            readOneAddress(tree, address, hasWork ? other : work, record);
            otherDone = true;
        }
    }
}

void readDatesAndWeb(const EntryTree &tree, QVariantMap &record)
{
    const int birthday = tree.lookup(kEntry, "gContact:birthday");
    if (const QDateTime date = dateOnly(tree.attribute(birthday, "when")); date.isValid())
        record.insert(QStringLiteral("NSDATEBIRTHDAY"), date);
    const int event = tree.lookup(kEntry, "gContact:event");
    if (tree.isNode(event) && tree.attribute(event, "rel") == QLatin1String("anniversary")) {
        const int when = tree.lookup(event, "gd:when");
        if (const QDateTime date = dateOnly(tree.attribute(when, "startTime")); date.isValid())
            record.insert(QStringLiteral("NSDATEANNIVERSARY"), date);
    }
    // The nickname only as plain text.
    if (const int nickname = tree.lookup(kEntry, "gContact:nickname"); nickname >= 0 && tree.isText(nickname))
        record.insert(QStringLiteral("NICKNAME"), tree.textOf(nickname));
    const int website = tree.lookup(kEntry, "gContact:website");
    if (tree.isNode(website) && tree.attribute(website, "rel") == QLatin1String("home-page"))
        record.insert(QStringLiteral("WEBURL"), tree.attribute(website, "href"));
}

// The titles of the entry's known groups but My Contacts, tab-joined.
QString categoryOf(const EntryTree &tree, const std::vector<int> &memberships, const QMap<QString, QString> &groups)
{
    QStringList titles;
    for (const int membership : memberships) {
        const QString href = tree.attribute(membership, "href");
        if (href.isEmpty() || tree.attribute(membership, "deleted") != QLatin1String("false") ||
            !groups.contains(href) || href.endsWith(QLatin1String("base/6")))
            continue;
        titles << groups.value(href);
    }
    return titles.join(u'\t');
}

// Whether the first typed link is a picture carrying an etag (a contact without one has none).
bool hasPhoto(const EntryTree &tree)
{
    for (const int link : tree.listOf(kEntry, "link")) {
        const QString type = tree.attribute(link, "type");
        if (type.isEmpty())
            continue;
        if (!type.startsWith(QLatin1String("image/")))
            return false;
        if (!tree.attribute(link, "gd:etag").isEmpty())
            return true;
    }
    return false;
}

// The record of one entry (the field table), without the deletion and date tests.
QVariantMap recordOfEntry(const EntryTree &tree, const std::vector<int> &memberships,
                          const QMap<QString, QString> &groups)
{
    QVariantMap record;
    if (tree.contains(kEntry, "id"))
        record.insert(QStringLiteral("UID"), tree.childText(kEntry, "id"));
    if (tree.contains(kEntry, "updated"))
        record.insert(QStringLiteral("LASTMODIFIED"), tree.childText(kEntry, "updated"));
    readNames(tree, record);
    readEmails(tree, record);
    readRelations(tree, record);
    readPhones(tree, record);
    readAddresses(tree, record);
    if (tree.contains(kEntry, "content"))
        record.insert(QStringLiteral("NOTE"), tree.childText(kEntry, "content"));
    readDatesAndWeb(tree, record);
    record.insert(QStringLiteral("CATEGORY"), categoryOf(tree, memberships, groups));
    return record;
}

// Removed from My Contacts (the membership ending "/6" marked deleted), or a deleted entry as a
// server may also mark it (a "gd:deleted" element).
bool isDeletedEntry(const EntryTree &tree, const std::vector<int> &memberships)
{
    if (tree.contains(kEntry, "gd:deleted"))
        return true;
    for (const int membership : memberships) {
        if (tree.attribute(membership, "deleted") == QLatin1String("true") &&
            tree.attribute(membership, "href").endsWith(u"/6"))
            return true;
    }
    return false;
}

void readEntry(const EntryTree &tree, const QString &id, const Context &context, Page &page)
{
    const std::vector<int> memberships = tree.listOf(kEntry, "gContact:groupMembershipInfo");
    const bool isOther = memberships.empty() && !tree.contains(kEntry, "gd:deleted");
    if (isOther)
        DDLogVerbose(QStringLiteral("This is an other contact:"));
    const bool isDeleted = isDeletedEntry(tree, memberships);
    if (isDeleted && !id.isEmpty() && context.allowDeletesFromGoogle)
        page.deletions << id;
    if (!tree.contains(kEntry, "updated")) {
        DDLogVerbose(QStringLiteral("Contact is NOT modified!"));
        return;
    }
    const QString updated = tree.childText(kEntry, "updated");
    QDateTime date = dateOfUpdated(updated);
    if (!date.isValid())
        date = defaultDate();
    if (date > page.mostRecent)
        page.mostRecent = date;
    if (isDeleted || date <= context.comparisonDate) {
        DDLogVerbose(QStringLiteral("Contact is NOT modified!"));
        return;
    }
    if (!id.isEmpty() && context.ownWrites.contains(id) && context.ownWrites.value(id) == updated) {
        page.ownWritesSeen << id;
        return;
    }
    page.changedIds << id;
    if (hasPhoto(tree))
        page.photoIds << id;
    if (!isOther)
        page.records << recordOfEntry(tree, memberships, context.groups);
}

// The parse's events: the feed's own elements are passed over, each "entry" child of the root is
// gathered into the tree and read when it ends, then forgotten.
class FeedReader final : public xmldictionary::XMLEvents
{
public:
    FeedReader(const Context &context, Page &page) : m_context(context), m_page(page) {}

    void startElement(const char *name, const char *const *attributes) override;
    void endElement() override;
    void characters(const char *bytes, int length) override;

    bool isFeed() const { return m_isFeed; }
    bool hasEnded() const { return m_hasEnded; }
    // A lone entry with text only is no entry (the dictionary form makes it the feed's text).
    void finish();

private:
    void finishText();
    void finishEntry();

    const Context &m_context;
    Page &m_page;
    int m_depth = 0;
    bool m_isFeed = false;
    bool m_hasEnded = false;
    bool m_lastEntryIsText = false;
    EntryTree m_entry;
    std::vector<int> m_open; // the entry's open elements, innermost last
    QByteArray m_text;
};

void FeedReader::startElement(const char *name, const char *const *attributes)
{
    ++m_depth;
    if (m_depth == 1) {
        m_isFeed = qstrcmp(name, "feed") == 0 || qstrcmp(name, "atom:feed") == 0;
        return;
    }
    if (!m_open.empty()) {
        finishText();
        m_open.push_back(m_entry.add(name, m_open.back(), attributes));
    } else if (m_depth == 2 && m_isFeed && qstrcmp(name, "entry") == 0) {
        m_entry.clear();
        m_text.clear();
        m_open.push_back(m_entry.add(name, -1, attributes));
    }
}

void FeedReader::endElement()
{
    --m_depth;
    if (m_depth == 0)
        m_hasEnded = true;
    if (m_open.empty())
        return;
    finishText();
    m_open.pop_back();
    if (m_open.empty())
        finishEntry();
}

void FeedReader::characters(const char *bytes, int length)
{
    if (!m_open.empty())
        m_text.append(bytes, length);
}

void FeedReader::finishText()
{
    if (m_text.isEmpty())
        return;
    const QString text = QString::fromUtf8(m_text).trimmed();
    m_text.clear();
    if (!text.isEmpty())
        m_entry.at(m_open.back()).texts << text;
}

void FeedReader::finishEntry()
{
    ++m_page.entryCount;
    m_lastEntryIsText = m_entry.isText(kEntry);
    if (m_lastEntryIsText) {
        m_page.entryIds << QString();
        return;
    }
    const QString id = m_entry.childText(kEntry, "id");
    m_page.entryIds << id;
    readEntry(m_entry, id, m_context, m_page);
}

void FeedReader::finish()
{
    if (m_page.entryCount == 1 && m_lastEntryIsText) {
        m_page.entryCount = 0;
        m_page.entryIds.clear();
    }
    if (!m_context.allowDeletesFromGoogle)
        m_page.deletions.clear();
}

} // namespace

// 29 December 2015 00:00 UTC.
QDateTime defaultDate()
{
    return QDateTime(QDate(2015, 12, 29), QTime(0, 0), Qt::UTC);
}

// The stamp as a UTC time. The form Google writes is read by hand (once per entry: Qt's parser of a
// format costs several times more), any other by Qt's parser.
QDateTime dateOfUpdated(const QString &text)
{
    static constexpr char kForm[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    bool isPlain = text.size() == qsizetype(sizeof(kForm) - 1);
    for (qsizetype index = 0; isPlain && index < text.size(); ++index) {
        const char16_t found = text.at(index).unicode();
        isPlain = kForm[index] == 'd' ? found >= u'0' && found <= u'9' : found == char16_t(kForm[index]);
    }
    QDate date;
    QTime time;
    if (isPlain) {
        const auto number = [&text](qsizetype from, qsizetype count) { return QStringView(text).mid(from, count).toInt(); };
        date = QDate(number(0, 4), number(5, 2), number(8, 2));
        time = QTime(number(11, 2), number(14, 2), number(17, 2), number(20, 3));
    } else if (const qsizetype middle = text.indexOf(u'T'); middle > 0) {
        date = QDate::fromString(text.left(middle), QStringLiteral("yyyy-MM-dd"));
        time = QTime::fromString(text.mid(middle + 1), QStringLiteral("HH:mm:ss.zzz'Z'"));
    }
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

QString updatedText(const QDateTime &date)
{
    return date.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

std::optional<Page> readFeed(const QByteArray &body, const Context &context)
{
    if (body.isEmpty() || body.size() > XMLDictionaryParser::kDefaultMaxInputBytes)
        return std::nullopt;
    Page page;
    page.mostRecent = context.mostRecent.isValid() ? context.mostRecent : defaultDate();
    FeedReader reader(context, page);
    QString error;
    const xmldictionary::XMLOutcome outcome = xmldictionary::parseUntrusted(body, reader, error);
    if (outcome == xmldictionary::XMLOutcome::Refused || !reader.isFeed() || !reader.hasEnded()) {
        DDLogError(QStringLiteral("The contacts feed cannot be read: %1")
                       .arg(error.isEmpty() ? QStringLiteral("no feed") : error));
        return std::nullopt;
    }
    reader.finish();
    return page;
}

std::optional<QVariantMap> parseFeed(const QByteArray &body)
{
    XMLDictionaryParser parser = XMLDictionaryParser::sharedInstance();
    parser.setStripEmptyNodes(false);
    return parser.dictionaryWithData(body);
}

bool isFeed(const QVariantMap &parsed)
{
    const QString root = parsed.value(QStringLiteral("__name")).toString();
    return root == QLatin1String("feed") || root == QLatin1String("atom:feed");
}

QVariantList entriesOf(const QVariantMap &feed)
{
    const QVariant entries = feed.value(QStringLiteral("entry"));
    if (entries.typeId() == QMetaType::QVariantList)
        return entries.toList();
    if (entries.typeId() == QMetaType::QVariantMap)
        return {entries};
    return {};
}

QString nodeText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QVariantMap)
        return value.toMap().value(QStringLiteral("__text")).toString();
    if (value.typeId() == QMetaType::QVariantList)
        return {};
    return value.toString();
}

} // namespace googlecontactfeed
