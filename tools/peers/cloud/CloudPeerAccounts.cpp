// The account page of the cloud peer: "/v1/account.php" with the actions "create", "verify",
// "connectors", "updateConnector" and "deleteConnector".
#include "CloudPeer.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

namespace cloudpeer {

namespace {

// The text as a JSON string, quotes included.
QByteArray quoted(const QString &text)
{
    const QByteArray list = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return list.mid(1, list.size() - 2);
}

QByteArray resultText(int result, const QString &message = {})
{
    QByteArray text = "{\"Result\":" + QByteArray::number(result);
    if (!message.isEmpty())
        text += ",\"Message\":" + quoted(message);
    return text + '}';
}

// A connector as the service lists it: "Id", "Type", "Email" and "LastSync" in this order, then the
// rest. Clients find a Google connector's e-mail by searching the text after its "Type".
QByteArray listedConnector(const Connector &connector)
{
    return "{\"Id\":" + quoted(connector.id) + ",\"Type\":" + quoted(connector.type) + ",\"Email\":"
           + quoted(connector.email) + ",\"LastSync\":" + quoted(connector.lastSync) + ",\"Conduits\":"
           + quoted(connector.conduits) + ",\"Source\":" + quoted(connector.source) + '}';
}

QJsonObject connectorObject(const Connector &connector)
{
    return QJsonObject{{QStringLiteral("Id"), connector.id},           {QStringLiteral("Type"), connector.type},
                       {QStringLiteral("Email"), connector.email},     {QStringLiteral("LastSync"), connector.lastSync},
                       {QStringLiteral("Conduits"), connector.conduits}, {QStringLiteral("Source"), connector.source},
                       {QStringLiteral("Token"), connector.token}};
}

Connector connectorFromObject(const QJsonObject &object)
{
    const auto text = [&object](const char *key) { return object.value(QLatin1String(key)).toString(); };
    return Connector{text("Id"),       text("Type"),   text("Email"), text("LastSync"),
                     text("Conduits"), text("Source"), text("Token")};
}

} // namespace

QByteArray CloudPeer::account(const QJsonObject &body)
{
    const QString action = body.value(QStringLiteral("Action")).toString();
    const QString username = body.value(QStringLiteral("Username")).toString();
    const QString digest = body.value(QStringLiteral("Password")).toString();
    if (action == QLatin1String("create"))
        return createAccount(username, digest);
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_accounts.constFind(username);
        if (found == m_accounts.constEnd() || digest.isEmpty()
            || found->passwordDigest.compare(digest, Qt::CaseInsensitive) != 0)
            return resultText(1, QStringLiteral("Invalid username or password"));
    }
    if (action == QLatin1String("verify"))
        return resultText(0);
    if (action == QLatin1String("connectors")) {
        QByteArray list;
        for (const Connector &connector : connectors(username))
            list += (list.isEmpty() ? "" : ",") + listedConnector(connector);
        return "{\"Result\":0,\"Connectors\":[" + list + "]}";
    }
    if (action == QLatin1String("updateConnector"))
        return updateConnector(username, body);
    if (action == QLatin1String("deleteConnector"))
        return deleteConnector(username, body.value(QStringLiteral("Id")).toString());
    return resultText(9, QStringLiteral("Unknown action"));
}

QByteArray CloudPeer::createAccount(const QString &username, const QString &digest)
{
    if (username.isEmpty() || digest.size() != 32)
        return resultText(1, QStringLiteral("Invalid username or password"));
    const std::lock_guard lock(m_mutex);
    if (m_accounts.contains(username))
        return resultText(2, QStringLiteral("Username already exists"));
    // Sync requests send the digest in upper case; the peer keeps it so and compares either case.
    m_accounts[username].passwordDigest = digest.toUpper();
    saveState();
    return resultText(0);
}

// Creates the account's connector of the type and e-mail, or updates the one there is.
QByteArray CloudPeer::updateConnector(const QString &username, const QJsonObject &body)
{
    const auto text = [&body](const char *key) { return body.value(QLatin1String(key)).toString(); };
    if (text("Type").isEmpty() || text("Email").isEmpty() || text("Token").isEmpty())
        return resultText(4, QStringLiteral("Missing connector members"));
    const std::lock_guard lock(m_mutex);
    QList<Connector> &list = m_connectors[username];
    auto found = std::find_if(list.begin(), list.end(), [&text](const Connector &connector) {
        return connector.type == text("Type") && connector.email == text("Email");
    });
    if (found == list.end()) {
        list.append(Connector{QString::number(m_nextConnectorId++), text("Type"), text("Email"),
                              QStringLiteral("0000-00-00 00:00:00"), {}, {}, {}});
        found = list.end() - 1;
    }
    found->conduits = text("Conduits");
    found->source = text("Source");
    found->token = text("Token");
    return "{\"Result\":0,\"Id\":" + quoted(found->id) + '}';
}

QByteArray CloudPeer::deleteConnector(const QString &username, const QString &connectorId)
{
    const std::lock_guard lock(m_mutex);
    const qsizetype removed = m_connectors[username].removeIf(
        [&connectorId](const Connector &connector) { return connector.id == connectorId; });
    return removed > 0 ? resultText(0) : resultText(5, QStringLiteral("No such connector"));
}

QList<Connector> CloudPeer::connectors(const QString &username) const
{
    const std::lock_guard lock(m_mutex);
    return m_connectors.value(username);
}

void CloudPeer::setConnectors(const QString &username, const QList<Connector> &connectors)
{
    const std::lock_guard lock(m_mutex);
    m_connectors.insert(username, connectors);
}

// {"Username"} answers the account's connectors with their tokens; with "Connectors" it first
// replaces them.
QJsonObject CloudPeer::connectorsControl(const QJsonObject &body)
{
    const QString username = body.value(QStringLiteral("Username")).toString();
    if (body.contains(QStringLiteral("Connectors"))) {
        QList<Connector> list;
        for (const QJsonValue &item : body.value(QStringLiteral("Connectors")).toArray())
            list.append(connectorFromObject(item.toObject()));
        setConnectors(username, list);
    }
    QJsonArray dump;
    for (const Connector &connector : connectors(username))
        dump.append(connectorObject(connector));
    return QJsonObject{{QStringLiteral("connectors"), dump}};
}

} // namespace cloudpeer
