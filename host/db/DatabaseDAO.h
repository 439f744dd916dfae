// The host database's data-access object: one SQLite connection that runs SQL text, or one
// statement with values bound to its placeholders, and hands back every result value as text.
// Safe for use from any thread: calls are serialised by a mutex, so the storage that holds it
// can be shared by the host and its plug-ins.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "DatabaseException.h"

struct sqlite3;
struct sqlite3_stmt;

namespace DatabaseWrapper {

enum class OpenMode { ReadWrite, ReadOnly };

// A value bound to one placeholder of a statement: SQL NULL, an integer, a real or a text.
using BoundValue = std::variant<std::nullptr_t, int64_t, double, std::string>;

class __attribute__((visibility("default"))) DatabaseDAO {
 public:
  // A data-access object without a database: every query throws DatabaseException(reason).
  explicit DatabaseDAO(std::string reason = "The host database is not open.");
  DatabaseDAO(const DatabaseDAO&) = delete;
  DatabaseDAO& operator=(const DatabaseDAO&) = delete;
  virtual ~DatabaseDAO();

  // Opens the database file at `path`. In ReadWrite mode a missing file is created and missing
  // tables of the host schema are created. The connection uses WAL and the default busy
  // timeout; once the schema is in place it refuses schema changes, ATTACH, DETACH and every
  // PRAGMA but foreign_keys. Never fails: when the file cannot be opened or is not a database,
  // the object returned throws on every query, with the reason. The caller shares ownership.
  // A query finds the file again when it went missing or was replaced since it was opened (a
  // deleted database is created anew, so later rows do not vanish with an unlinked file), and
  // retries a file that could not be opened.
  static std::shared_ptr<DatabaseDAO> Open(const std::string& path,
                                           OpenMode mode = OpenMode::ReadWrite);

  // Runs one or several statements and returns the values of all result rows, row after row,
  // each column as text and SQL NULL as "NULL". A statement text that leaves a transaction open
  // has it rolled back and fails. Throws DatabaseException with SQLite's message on failure.
  virtual std::vector<std::string> query(std::string sql);

  // Runs the one statement of `sql` with `values` bound to its placeholders in order (a text is
  // bound whole, NUL bytes included) and returns its result values as query does. The statement
  // stays prepared for the next call of the same text, so callers keep one text per statement
  // shape and pass the values. Fails as query does, and also when the text holds more or fewer
  // than one statement or a number of placeholders other than the number of values.
  virtual std::vector<std::string> queryBound(const std::string& sql,
                                              const std::vector<BoundValue>& values);

  bool isOpen() const;
  // How long a statement waits for another connection's lock before it fails.
  void setBusyTimeout(int milliseconds);

 private:
  // A DAO for `path`: open, or holding the reason why not.
  static std::shared_ptr<DatabaseDAO> Connect(const std::string& path, OpenMode mode);
  // With m_Mutex held: whether the file at m_Path is no longer the one open, and opening it anew.
  bool FileReplaced() const;
  void Reconnect();
  // With m_Mutex held: finalizes every kept statement.
  void ForgetStatements();
  // With m_Mutex held: finds the file again when it was replaced, or throws when unavailable.
  void RequireConnection();
  // With m_Mutex held: the kept statement of `sql` (taken out of the cache) or a new one.
  sqlite3_stmt* TakeStatement(const std::string& sql);
  // With m_Mutex held: keeps a statement that ran to its end for the next call of `sql`.
  void KeepStatement(const std::string& sql, sqlite3_stmt* statement);

  mutable std::mutex m_Mutex;
  sqlite3* m_Db = nullptr;  // guarded by m_Mutex; null when the database is unavailable
  std::string m_Unavailable;
  // Constant after Open (empty for a DAO without a database, which never reconnects).
  std::string m_Path;
  OpenMode m_Mode = OpenMode::ReadWrite;
  // Guarded by m_Mutex: the busy timeout a caller set (-1: the default) and the open file.
  int m_BusyTimeout = -1;
  uint64_t m_Device = 0;
  uint64_t m_Inode = 0;
  // Guarded by m_Mutex: statements kept prepared by their whole SQL text, for the next call of
  // the same text: read-only statements of query and every statement of queryBound. Preparing a
  // statement of every column of a row costs more than running it.
  std::unordered_map<std::string, sqlite3_stmt*> m_Statements;
};

// The busy timeout of connections opened from now on (default 2000 ms).
void SetDefaultBusyTimeout(int milliseconds);

}  // namespace DatabaseWrapper
