#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace platform {
class ABRecord;
}

// A vCard folder of its own for one test: the address book's folder user default points at it while
// the object lives. The process's data and config folders go to a temporary folder first.
class StoreFolder final
{
public:
    StoreFolder();
    ~StoreFolder();

    QString path() const { return m_folder.path() + QStringLiteral("/book"); }
    QString filePath(const QString &name) const { return path() + QLatin1Char('/') + name; }
    void writeFile(const QString &name, const QByteArray &bytes) const;
    QByteArray readFile(const QString &name) const;
    // The ".vcf" files of the folder, sorted.
    QStringList cardFiles() const;

private:
    QTemporaryDir m_folder;
};

// A record as "Property: value" lines, multi-values as "Property[label]: value", sorted; stable for
// comparing with expected-output files.
QString dumpRecord(platform::ABRecord &record);
// A sample file of the tests' samples folder.
QByteArray sampleBytes(const QString &name);

#include "foundation/QtPrinters.h"

// Lets failing assertions print file contents as text.
inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << '"' << bytes.toStdString() << '"';
}
