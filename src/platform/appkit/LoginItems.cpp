#include "platform/appkit/LoginItems.h"

#include "platform/foundation/FileIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace platform {

namespace {

constexpr qint64 kMaxEntryBytes = 64 * 1024;
const QString kEntrySuffix = QStringLiteral(".desktop");

// A word of an Exec line, quoted as the desktop entry format asks: in double quotes, with the
// characters that have a meaning inside them escaped.
QString quotedExecWord(const QString &word)
{
    QString quoted = word;
    for (const QChar special : {QLatin1Char('\\'), QLatin1Char('"'), QLatin1Char('`'), QLatin1Char('$')})
        quoted.replace(special, QStringLiteral("\\") + special);
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// The value of "Exec=" in the [Desktop Entry] group, or a null text.
QString execLineOf(const QByteArray &bytes)
{
    bool isInMainGroup = false;
    for (const QByteArray &rawLine : bytes.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            isInMainGroup = line == QLatin1String("[Desktop Entry]");
        else if (isInMainGroup && line.startsWith(QLatin1String("Exec=")))
            return line.mid(5);
    }
    return {};
}

Result<QByteArray> readEntry(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return Error(ErrorCode::IoOther, QStringLiteral("%1: not a regular file").arg(path));
    if (info.size() > kMaxEntryBytes)
        return Error(ErrorCode::DataMalformed, QStringLiteral("%1: %2 bytes is too long for a desktop entry")
                                                   .arg(path).arg(info.size()));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error(ErrorCode::IoOther, QStringLiteral("%1: %2").arg(path, file.errorString()));
    return file.read(kMaxEntryBytes);
}

} // namespace

LoginItems::LoginItems() : m_folder(defaultFolder()) {}

LoginItems::LoginItems(QString folder) : m_folder(std::move(folder)) {}

QString LoginItems::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart");
}

Result<QList<LoginItem>> LoginItems::snapshot() const
{
    QList<LoginItem> items;
    const QDir folder(m_folder);
    if (!folder.exists())
        return items;
    if (!folder.isReadable())
        return Error(ErrorCode::IoPermission, QStringLiteral("%1: the autostart folder cannot be read").arg(m_folder));
    const QStringList names = folder.entryList({QStringLiteral("*") + kEntrySuffix}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        const QString path = folder.filePath(name);
        const Result<QByteArray> bytes = readEntry(path);
        if (!bytes)
            continue;
        const QString program = programOfExecLine(execLineOf(*bytes));
        if (!program.isEmpty())
            items.append({path, program});
    }
    return items;
}

Result<LoginItem> LoginItems::insertItem(const QString &desktopId, const QString &displayName,
                                         const QString &programPath, const QStringList &arguments)
{
    if (desktopId.isEmpty() || desktopId.contains(QLatin1Char('/')))
        return Error(ErrorCode::IoOther, QStringLiteral("\"%1\" is not a desktop entry name").arg(desktopId));
    if (!QDir().mkpath(m_folder))
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: cannot make the autostart folder").arg(m_folder));
    QStringList words{quotedExecWord(programPath)};
    for (const QString &argument : arguments)
        words.append(quotedExecWord(argument));
    const QString entry = QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\nIcon=%3\n"
                                         "Terminal=false\nX-GNOME-Autostart-enabled=true\n")
                              .arg(displayName, words.join(QLatin1Char(' ')), desktopId);
    const QString path = QDir(m_folder).filePath(desktopId + kEntrySuffix);
    const Status written = writeFileAtomically(path, entry.toUtf8());
    if (!written)
        return written.error();
    return LoginItem{path, programPath};
}

Status LoginItems::removeItem(const LoginItem &item)
{
    QFile file(item.entryPath);
    if (!file.exists() && !QFileInfo(item.entryPath).isSymLink())
        return success();
    if (!file.remove())
        return Error(ErrorCode::IoWriteFailed, QStringLiteral("%1: %2").arg(item.entryPath, file.errorString()));
    return success();
}

QString LoginItems::programOfExecLine(const QString &exec)
{
    const QString line = exec.trimmed();
    if (!line.startsWith(QLatin1Char('"')))
        return line.section(QLatin1Char(' '), 0, 0);
    QString program;
    for (qsizetype index = 1; index < line.size(); ++index) {
        const QChar character = line.at(index);
        if (character == QLatin1Char('"'))
            return program;
        if (character == QLatin1Char('\\') && index + 1 < line.size())
            program.append(line.at(++index));
        else
            program.append(character);
    }
    // An opening quote without its closing one: the line is malformed and names no program.
    return {};
}

} // namespace platform
