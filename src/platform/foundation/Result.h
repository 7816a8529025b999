#pragma once

#include <QString>

#include <utility>
#include <variant>

namespace platform {

// What kind of failure an Error reports, grouped by the layer that meets it.
enum class ErrorCode {
    IoOther,
    IoNotFound,
    IoPermission,
    IoWriteFailed,
    NetworkOther,
    NetworkRefused,
    NetworkTimeout,
    ProtocolOther,
    ProtocolMalformed,
    PeerOther,
    PeerRefused,
    DataOther,
    DataMalformed,
    DataTruncated,
    DataMissing,
    Cancelled,
};

// A failure for a person to read: what failed, where, and the offending value.
class Error final
{
public:
    Error(ErrorCode code, QString message) : m_code(code), m_message(std::move(message)) {}

    ErrorCode code() const { return m_code; }
    const QString &message() const { return m_message; }

    // The same failure with a layer's context in front: "profile.settings: <message>".
    Error withContext(const QString &context) const { return Error(m_code, context + QStringLiteral(": ") + m_message); }

private:
    ErrorCode m_code;
    QString m_message;
};

// A value or the Error that kept it from being made.
template <typename T>
class [[nodiscard]] Result final
{
public:
    Result(T value) : m_state(std::move(value)) {}
    Result(Error error) : m_state(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(m_state); }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return std::get<T>(m_state); }
    T &value() & { return std::get<T>(m_state); }
    T &&value() && { return std::get<T>(std::move(m_state)); }
    const T &operator*() const & { return value(); }
    T &operator*() & { return value(); }
    const T *operator->() const { return &value(); }
    T *operator->() { return &value(); }

    const Error &error() const { return std::get<Error>(m_state); }

    T valueOr(T fallback) const { return ok() ? value() : std::move(fallback); }

private:
    std::variant<T, Error> m_state;
};

// The result of an operation that gives nothing back but can fail.
struct Done final
{
};

using Status = Result<Done>;

inline Status success()
{
    return Done{};
}

} // namespace platform
