#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

// The values the SQLite access layer binds and reads are dynamically typed QVariants: nil (an invalid
// QVariant) or the null marker binds NULL; QByteArray binds a blob; QDateTime a date; a number keeps
// its exact kind (char, short, int, long, long long, their unsigned forms, float, double, bool); any
// other value binds as its description text.

// The null marker: a value that stands for NULL inside lists and dictionaries, where nil cannot.
inline QVariant makeNullMarker()
{
    return QVariant::fromValue(nullptr);
}

inline bool isNullMarker(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<std::nullptr_t>();
}

// One argument of a variadic call as the value bound in its place: C strings become text, nullptr the
// null marker, and every other value keeps its own type.
template <typename T> QVariant makeBindValue(const T &value)
{
    using Plain = std::decay_t<T>;
    if constexpr (std::is_same_v<Plain, QVariant>)
        return value;
    else if constexpr (std::is_same_v<Plain, std::nullptr_t>)
        return makeNullMarker();
    else if constexpr (std::is_array_v<T>)
        return QVariant(QString::fromUtf8(value));
    else if constexpr (std::is_same_v<Plain, const char *> || std::is_same_v<Plain, char *>)
        return value == nullptr ? QVariant() : QVariant(QString::fromUtf8(value));
    else
        return QVariant::fromValue(value);
}

// The arguments a variadic call hands on, taken one at a time in order. A call reads exactly as many
// as it needs; when the caller gave too few, the list simply runs out (no value is made up).
class FMVAList final
{
public:
    FMVAList() = default;
    explicit FMVAList(QVariantList values) : m_values(std::move(values)) {}

    template <typename... Args> static FMVAList of(const Args &...arguments)
    {
        return FMVAList(QVariantList{makeBindValue(arguments)...});
    }

    bool hasNext() const { return m_next < m_values.size(); }
    // The next argument, or nothing when every argument has been taken.
    std::optional<QVariant> takeNext()
    {
        if (!hasNext())
            return std::nullopt;
        return m_values.at(m_next++);
    }

private:
    QVariantList m_values;
    qsizetype m_next = 0;
};
