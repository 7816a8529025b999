#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <utility>

namespace platform {

class RKRequest;

// The answer to one request: status code, headers and the whole body. An HTTP error status is still
// a response, not a failure. A plain value: copy it freely and hand it to any thread.
class RKResponse final
{
public:
    using Header = std::pair<QByteArray, QByteArray>;

    RKResponse() = default;
    RKResponse(int statusCode, QList<Header> headers, QByteArray body, std::weak_ptr<RKRequest> request = {});

    int statusCode() const { return m_statusCode; }
    bool isSuccessful() const { return m_statusCode >= 200 && m_statusCode < 300; }
    const QByteArray &body() const { return m_body; }
    // The body as text in the charset the content type names; UTF-8 when it names none or one this
    // layer does not know.
    QString bodyAsString() const;

    // Every header as received, in order.
    const QList<Header> &allHeaderFields() const { return m_headers; }
    // The value of the first header of that name (compared without letter case), or the empty text.
    QString headerValue(const QByteArray &name) const;
    QString contentType() const { return headerValue("Content-Type"); }
    // The content type without its parameters, in lower case ("application/json").
    QString MIMEType() const;

    // The request that got this response, while it still exists.
    std::shared_ptr<RKRequest> request() const { return m_request.lock(); }

private:
    int m_statusCode = 0;
    QList<Header> m_headers;
    QByteArray m_body;
    std::weak_ptr<RKRequest> m_request;
};

// Sets a header in a list of headers, replacing any of the same name (compared without letter case);
// an empty value removes it.
void setHeaderValue(QList<RKResponse::Header> &headers, const QByteArray &field, const QByteArray &value);

} // namespace platform
