#include "store/sqlite_statement.h"

#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

using namespace Qt::StringLiterals;

SqliteStatement::SqliteStatement(const QSqlDatabase& db, const char* sql)
{
    QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0)
        m_db = *static_cast<sqlite3**>(handle.data());
    m_prepareCode = m_db ? sqlite3_prepare_v2(m_db, sql, -1, &m_statement, nullptr) : SQLITE_MISUSE;
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_statement);
}

SqliteStatement& SqliteStatement::Bind(qint64 value)
{
    sqlite3_bind_int64(m_statement, m_next++, value);
    return *this;
}

SqliteStatement& SqliteStatement::Bind(const QString& text)
{
    sqlite3_bind_text16(m_statement, m_next++, text.utf16(), int(text.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
    return *this;
}

SqliteStatement& SqliteStatement::BindPositiveOrNull(qint64 value)
{
    if (value > 0)
        return Bind(value);
    sqlite3_bind_null(m_statement, m_next++);
    return *this;
}

bool SqliteStatement::Run(QSqlError* error)
{
    m_next = 1;
    const int code = m_statement ? sqlite3_step(m_statement) : m_prepareCode;
    const bool done = code == SQLITE_DONE || code == SQLITE_ROW;
    if (!done && error) {
        const QString text = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : u"not an SQLite connection"_s;
        *error = QSqlError(u"Unable to execute statement"_s, text, QSqlError::StatementError, QString::number(code));
    }
    if (m_statement)
        sqlite3_reset(m_statement);
    return done;
}

qint64 SqliteStatement::Changes() const
{
    return m_db ? sqlite3_changes(m_db) : 0;
}

qint64 SqliteStatement::LastInsertId() const
{
    return m_db ? sqlite3_last_insert_rowid(m_db) : 0;
}
