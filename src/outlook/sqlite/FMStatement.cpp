#include "outlook/sqlite/FMStatement.h"

#include <sqlite3.h>

FMStatement::~FMStatement()
{
    close();
}

void FMStatement::close()
{
    if (m_statement != nullptr)
        sqlite3_finalize(m_statement);
    m_statement = nullptr;
    m_inUse = false;
}

void FMStatement::reset()
{
    if (m_statement != nullptr)
        sqlite3_reset(m_statement);
    m_inUse = false;
}

QString FMStatement::description() const
{
    return QStringLiteral("<FMStatement: %1> %2 hit(s) for query %3")
        .arg(QString::asprintf("%p", static_cast<const void *>(this)))
        .arg(m_useCount)
        .arg(m_query);
}
