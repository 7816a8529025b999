#include "platform/restkit/RKResponse.h"

#include <QStringDecoder>

namespace platform {

RKResponse::RKResponse(int statusCode, QList<Header> headers, QByteArray body, std::weak_ptr<RKRequest> request)
    : m_statusCode(statusCode), m_headers(std::move(headers)), m_body(std::move(body)), m_request(std::move(request))
{
}

QString RKResponse::bodyAsString() const
{
    const QString type = contentType();
    const qsizetype charsetAt = type.indexOf(QLatin1String("charset="), 0, Qt::CaseInsensitive);
    if (charsetAt >= 0) {
        QString charset = type.mid(charsetAt + 8).section(u';', 0, 0).trimmed();
        charset.remove(u'"');
        QStringDecoder decoder(charset.toLatin1().constData());
        if (decoder.isValid())
            return decoder.decode(m_body);
    }
    return QString::fromUtf8(m_body);
}

QString RKResponse::headerValue(const QByteArray &name) const
{
    for (const Header &header : m_headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(header.second);
    }
    return {};
}

QString RKResponse::MIMEType() const
{
    return contentType().section(u';', 0, 0).trimmed().toLower();
}

void setHeaderValue(QList<RKResponse::Header> &headers, const QByteArray &field, const QByteArray &value)
{
    headers.removeIf(
        [&field](const RKResponse::Header &header) { return header.first.compare(field, Qt::CaseInsensitive) == 0; });
    if (!value.isEmpty())
        headers.append({field, value});
}

} // namespace platform
