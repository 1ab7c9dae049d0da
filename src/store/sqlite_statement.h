#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// A statement run by SQLite itself on the connection Qt SQL opened. Qt's binding formats a placeholder name and
// looks it up in a hash for every value, which costs more than SQLite's own work on the history's statements that
// run once per check; the rest stays with QSqlQuery. Values are bound in order; Run steps once and starts over.
class SqliteStatement final
{
public:
    SqliteStatement(const QSqlDatabase& db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    SqliteStatement& Bind(qint64 value);
    SqliteStatement& Bind(const QString& text);
    SqliteStatement& BindPositiveOrNull(qint64 value); // null for 0 and below
    // False with `error` set (as Qt SQL reports SQLite's errors: its code as the native code) when the statement
    // could not be made or did not run to its end.
    bool Run(QSqlError* error);
    qint64 Changes() const;
    qint64 LastInsertId() const;

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statement = nullptr;
    int m_prepareCode = 0;
    int m_next = 1;
};
