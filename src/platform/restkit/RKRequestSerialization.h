#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// MIME types the framework knows by name.
inline constexpr char RKMIMETypeJSON[] = "application/json";
inline constexpr char RKMIMETypeFormURLEncoded[] = "application/x-www-form-urlencoded";
inline constexpr char RKMIMETypeTextPlain[] = "text/plain";

// A ready request body: its bytes and the MIME type sent as its content type. A plain value.
class RKRequestSerialization final
{
public:
    RKRequestSerialization() = default;
    RKRequestSerialization(QByteArray data, QString mimeType);

    static RKRequestSerialization serializationWithData(const QByteArray &data, const QString &mimeType);

    const QByteArray &data() const { return m_data; }
    const QString &MIMEType() const { return m_mimeType; }

private:
    QByteArray m_data;
    QString m_mimeType;
};

} // namespace platform
