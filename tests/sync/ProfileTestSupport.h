#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <optional>
#include <ostream>

// Points the data folder ($XDG_DATA_HOME/<bundle identifier>) and the user defaults at a temporary home
// for the life of the object, and puts the environment back afterwards.
class ScopedDataHome final
{
public:
    ScopedDataHome();
    ~ScopedDataHome();
    ScopedDataHome(const ScopedDataHome &) = delete;
    ScopedDataHome &operator=(const ScopedDataHome &) = delete;

    // The data folder, created.
    QString dataFolder() const;
    QString path(const QString &fileName) const { return dataFolder() + QLatin1Char('/') + fileName; }

private:
    QTemporaryDir m_home;
    std::optional<QByteArray> m_previousDataHome;
};

class LogCapture;

// Whether a line logged so far contains the text.
bool logContains(LogCapture &log, const QString &text);

// Every file under a folder (hidden ones and sub-folders included) with its bytes and modification time.
struct FileState
{
    QByteArray bytes;
    QDateTime modified;
    friend bool operator==(const FileState &, const FileState &) = default;
};
QMap<QString, FileState> snapshotFolder(const QString &folder);

void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

// Runs a program with the bytes on its standard input; its standard output, or nullopt (with the
// reason added to the test's failures) when it could not run or did not exit with 0.
std::optional<QByteArray> runProgram(const QString &program, const QStringList &arguments, const QByteArray &input);

inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QDateTime &date, std::ostream *out)
{
    *out << date.toString(Qt::ISODateWithMs).toStdString();
}

inline void PrintTo(const QVariant &value, std::ostream *out)
{
    *out << value.typeName() << ' ' << value.toString().toStdString();
}

inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << bytes.toHex().toStdString();
}
