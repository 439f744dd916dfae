// The host database: a SQLite file in the host home, its connection and the storage that the
// host hands to plug-ins.

#include "Database.h"

#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <exception>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "DatabaseDAO.h"
#include "DatabaseErrors.h"
#include "DatabaseORM.h"
#include "KVL.h"
#include "Platform.h"
#include "Schema.h"

namespace DatabaseWrapper {
namespace {

std::atomic<int> g_DefaultBusyTimeout{2000};

struct StatementCloser {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

// Refuses what no plug-in statement needs and what could damage the schema: creating,
// dropping and altering anything, ATTACH, DETACH, and every PRAGMA but foreign_keys.
int Authorize(void*, int action, const char* name, const char*, const char*, const char*) {
  switch (action) {
    case SQLITE_PRAGMA:
      return name != nullptr && strcasecmp(name, "foreign_keys") == 0 ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_CREATE_INDEX:
    case SQLITE_CREATE_TABLE:
    case SQLITE_CREATE_TEMP_INDEX:
    case SQLITE_CREATE_TEMP_TABLE:
    case SQLITE_CREATE_TEMP_TRIGGER:
    case SQLITE_CREATE_TEMP_VIEW:
    case SQLITE_CREATE_TRIGGER:
    case SQLITE_CREATE_VIEW:
    case SQLITE_CREATE_VTABLE:
    case SQLITE_DROP_INDEX:
    case SQLITE_DROP_TABLE:
    case SQLITE_DROP_TEMP_INDEX:
    case SQLITE_DROP_TEMP_TABLE:
    case SQLITE_DROP_TEMP_TRIGGER:
    case SQLITE_DROP_TEMP_VIEW:
    case SQLITE_DROP_TRIGGER:
    case SQLITE_DROP_VIEW:
    case SQLITE_DROP_VTABLE:
    case SQLITE_ALTER_TABLE:
    case SQLITE_ANALYZE:  // creates a statistics table
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      return SQLITE_DENY;
    default:
      return SQLITE_OK;
  }
}

// How many prepared statements a connection keeps at most. Bound statements are kept by their
// shape (a handful for the plug-in's tables); a text with its values written in is kept by that
// text, so a caller looking rows up that way keeps one per row. A kept SELECT of every column
// of a row takes about 20 KiB; when the limit is reached all are dropped and the next queries
// keep theirs anew.
constexpr size_t kKeptStatements = 512;

// Whether [first, last) holds nothing but blanks and statement ends.
bool OnlyBlanks(const char* first, const char* last) {
  for (; first < last; ++first) {
    if (*first != ';' && !std::isspace(static_cast<unsigned char>(*first))) return false;
  }
  return true;
}

// Every failure of the host database leaves it here, as a DatabaseException with the message.
[[noreturn]] void Raise(const std::string& message) {
  throw DBEXCEPTION::DatabaseException(message);
}

// A failure of a statement on the open connection: counted by its kind, then raised.
[[noreturn]] void RaiseFailure(sqlite3* db, const std::string& message) {
  NoteDatabaseError(sqlite3_extended_errcode(db), message, sqlite3_system_errno(db));
  Raise(message);
}

// Runs a prepared statement to its end, appending each column of each result row as text
// (SQL NULL as "NULL"). Returns SQLite's message on failure, else an empty text.
std::string StepToEnd(sqlite3* db, sqlite3_stmt* statement, std::vector<std::string>& values) {
  const int columns = sqlite3_column_count(statement);
  int stepped;
  while ((stepped = sqlite3_step(statement)) == SQLITE_ROW) {
    values.reserve(values.size() + static_cast<size_t>(columns));
    for (int i = 0; i < columns; ++i) {
      // An integer is formatted here, as SQLite would format it: its own conversion to a text
      // costs about three times as much, and rows are read back before every update.
      if (sqlite3_column_type(statement, i) == SQLITE_INTEGER) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits,
                                       static_cast<int64_t>(sqlite3_column_int64(statement, i)));
        values.emplace_back(digits, end.ptr);
        continue;
      }
      const unsigned char* text = sqlite3_column_text(statement, i);
      values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
    }
  }
  return stepped == SQLITE_DONE ? std::string() : std::string(sqlite3_errmsg(db));
}

// Binds `values` to the placeholders of `statement` in order. Texts are bound without a copy:
// the caller's values outlive the run, and a kept statement has its bindings cleared.
std::string Bind(sqlite3_stmt* statement, const std::vector<BoundValue>& values) {
  const int placeholders = sqlite3_bind_parameter_count(statement);
  if (placeholders < 0 || static_cast<size_t>(placeholders) != values.size())
    return "wrong number of bound values (" + std::to_string(values.size()) + " given, " +
           std::to_string(placeholders) + " expected)";
  for (int i = 0; i < placeholders; ++i) {
    const BoundValue& value = values[static_cast<size_t>(i)];
    int rc = SQLITE_OK;
    if (const auto* number = std::get_if<int64_t>(&value)) {
      rc = sqlite3_bind_int64(statement, i + 1, *number);
    } else if (const auto* real = std::get_if<double>(&value)) {
      rc = sqlite3_bind_double(statement, i + 1, *real);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      rc = sqlite3_bind_text64(statement, i + 1, text->data(), text->size(), SQLITE_STATIC,
                               SQLITE_UTF8);
    } else {
      rc = sqlite3_bind_null(statement, i + 1);
    }
    if (rc != SQLITE_OK) return sqlite3_errstr(rc);
  }
  return std::string();
}

// A transaction that a statement opened and left open would swallow every later write of the
// shared connection; it is undone. Returns the failure to report.
std::string UndoOpenTransaction(sqlite3* db, bool wasAutocommit, std::string failure) {
  if (wasAutocommit && sqlite3_get_autocommit(db) == 0) {
    sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    if (failure.empty()) failure = "a transaction left open by the statements was rolled back";
  }
  return failure;
}

std::string Unavailable(const std::string& path, const std::string& reason) {
  return "The host database " + path + " is unavailable: " + reason;
}

}  // namespace

DatabaseDAO::DatabaseDAO(std::string reason) : m_Unavailable(std::move(reason)) {}

DatabaseDAO::~DatabaseDAO() {
  ForgetStatements();
  sqlite3_close_v2(m_Db);
}

void DatabaseDAO::ForgetStatements() {
  for (auto& kept : m_Statements) sqlite3_finalize(kept.second);
  m_Statements.clear();
}

std::shared_ptr<DatabaseDAO> DatabaseDAO::Open(const std::string& path, OpenMode mode) {
  auto dao = Connect(path, mode);
  dao->m_Path = path;
  dao->m_Mode = mode;
  struct stat st = {};
  if (dao->m_Db != nullptr && stat(path.c_str(), &st) == 0) {
    dao->m_Device = st.st_dev;
    dao->m_Inode = st.st_ino;
  }
  return dao;
}

bool DatabaseDAO::FileReplaced() const {
  struct stat st = {};
  if (stat(m_Path.c_str(), &st) != 0) return errno == ENOENT;
  return st.st_dev != m_Device || st.st_ino != m_Inode;
}

void DatabaseDAO::Reconnect() {
  ForgetStatements();
  sqlite3_close_v2(m_Db);
  m_Db = nullptr;
  // The journal files of a database that was deleted belong to no database any more; a new one
  // must not start from them.
  struct stat st = {};
  if (stat(m_Path.c_str(), &st) != 0 && errno == ENOENT) {
    unlink((m_Path + "-wal").c_str());
    unlink((m_Path + "-shm").c_str());
  }
  const auto fresh = Connect(m_Path, m_Mode);
  std::swap(m_Db, fresh->m_Db);
  m_Unavailable = fresh->m_Unavailable;
  if (m_Db == nullptr) return;
  if (m_BusyTimeout >= 0) sqlite3_busy_timeout(m_Db, m_BusyTimeout);
  if (stat(m_Path.c_str(), &st) == 0) {
    m_Device = st.st_dev;
    m_Inode = st.st_ino;
  }
}

std::shared_ptr<DatabaseDAO> DatabaseDAO::Connect(const std::string& path, OpenMode mode) {
  // Every use of a connection holds the DAO's own mutex, so SQLite's per-call connection mutex
  // (two lock operations for each bind, column read and step) would only repeat it.
  const int flags = SQLITE_OPEN_NOMUTEX | (mode == OpenMode::ReadOnly
                                               ? SQLITE_OPEN_READONLY
                                               : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(KVL::Platform::PathToUtf8(path).c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    NoteDatabaseError(rc, Unavailable(path, reason), db != nullptr ? sqlite3_system_errno(db) : 0);
    sqlite3_close_v2(db);
    return std::make_shared<DatabaseDAO>(Unavailable(path, reason));
  }
  sqlite3_busy_timeout(db, g_DefaultBusyTimeout.load());

  // The first statement reads the file, so a file that is not a database fails here. WAL lets
  // readers go on while another connection writes; a read-only file keeps its journal mode.
  // With WAL, synchronous NORMAL syncs at checkpoints instead of at every commit: a power loss
  // may take the last rows back, never the file's consistency, and the plug-in rewrites its rows
  // from the drives on every pass, while a sync per row would cost a full pass more than its
  // own work.
  const char* setup = mode == OpenMode::ReadOnly
                          ? "SELECT COUNT(*) FROM sqlite_master;"
                          : "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;";
  std::string schema = mode == OpenMode::ReadOnly ? "" : HostSchemaSql();
  char* error = nullptr;
  if (sqlite3_exec(db, setup, nullptr, nullptr, &error) != SQLITE_OK ||
      sqlite3_exec(db, schema.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error != nullptr ? error : sqlite3_errmsg(db);
    NoteDatabaseError(sqlite3_errcode(db), Unavailable(path, reason), sqlite3_system_errno(db));
    sqlite3_free(error);
    sqlite3_close_v2(db);
    return std::make_shared<DatabaseDAO>(Unavailable(path, reason));
  }
  // The indexes only speed up lookups: a table of another shape, or a database another
  // connection holds locked, keeps its rows reachable without them.
  if (mode != OpenMode::ReadOnly)
    (void)sqlite3_exec(db, HostIndexSql().c_str(), nullptr, nullptr, nullptr);
  sqlite3_set_authorizer(db, Authorize, nullptr);

  auto dao = std::make_shared<DatabaseDAO>();
  dao->m_Db = db;
  return dao;
}

void DatabaseDAO::RequireConnection() {
  const bool replaced = !m_Path.empty() && m_Db != nullptr && FileReplaced();
  if (replaced) NoteDatabaseReplaced(m_Path);
  if (!m_Path.empty() && (m_Db == nullptr || replaced)) Reconnect();
  if (m_Db == nullptr) Raise(m_Unavailable);
}

sqlite3_stmt* DatabaseDAO::TakeStatement(const std::string& sql) {
  const auto kept = m_Statements.find(sql);
  if (kept != m_Statements.end()) {
    sqlite3_stmt* statement = kept->second;
    m_Statements.erase(kept);
    return statement;
  }
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const int prepared =
      sqlite3_prepare_v2(m_Db, sql.c_str(), static_cast<int>(sql.size()), &raw, &tail);
  Statement statement(raw);
  if (prepared != SQLITE_OK) RaiseFailure(m_Db, sqlite3_errmsg(m_Db));
  if (!statement) RaiseFailure(m_Db, "the statement text holds no statement");
  if (tail == nullptr || !OnlyBlanks(tail, sql.c_str() + sql.size()))
    RaiseFailure(m_Db, "the statement text holds more than one statement");
  return statement.release();
}

void DatabaseDAO::KeepStatement(const std::string& sql, sqlite3_stmt* statement) {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);  // bound texts belong to the caller
  if (m_Statements.size() >= kKeptStatements) ForgetStatements();
  m_Statements.emplace(sql, statement);
}

std::vector<std::string> DatabaseDAO::query(std::string sql) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  RequireConnection();

  const bool wasAutocommit = sqlite3_get_autocommit(m_Db) != 0;
  std::vector<std::string> values;
  std::string failure;
  const char* next = sql.c_str();
  const char* const end = next + sql.size();
  while (next < end && failure.empty()) {
    Statement statement;
    const char* tail = nullptr;
    // A kept statement is taken out while it runs and put back when it ran to its end.
    const auto kept = next == sql.c_str() ? m_Statements.find(sql) : m_Statements.end();
    if (kept != m_Statements.end()) {
      statement.reset(kept->second);
      m_Statements.erase(kept);
      tail = end;
    } else {
      sqlite3_stmt* raw = nullptr;
      const int prepared =
          sqlite3_prepare_v2(m_Db, next, static_cast<int>(end - next), &raw, &tail);
      statement.reset(raw);
      if (prepared != SQLITE_OK) {
        failure = sqlite3_errmsg(m_Db);
        break;
      }
      if (tail == nullptr || tail <= next) break;  // nothing consumed: an embedded NUL
    }
    const bool wholeText = next == sql.c_str() && OnlyBlanks(tail, end);
    next = tail;
    if (!statement) continue;  // blanks or a comment
    failure = StepToEnd(m_Db, statement.get(), values);
    if (failure.empty() && wholeText && sqlite3_column_count(statement.get()) > 0 &&
        sqlite3_stmt_readonly(statement.get()) != 0)
      KeepStatement(sql, statement.release());
  }
  failure = UndoOpenTransaction(m_Db, wasAutocommit, failure);
  if (!failure.empty()) RaiseFailure(m_Db, failure);
  return values;
}

std::vector<std::string> DatabaseDAO::queryBound(const std::string& sql,
                                                 const std::vector<BoundValue>& values) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  RequireConnection();

  const bool wasAutocommit = sqlite3_get_autocommit(m_Db) != 0;
  Statement statement(TakeStatement(sql));
  std::vector<std::string> results;
  std::string failure = Bind(statement.get(), values);
  if (failure.empty()) failure = StepToEnd(m_Db, statement.get(), results);
  if (failure.empty()) KeepStatement(sql, statement.release());
  failure = UndoOpenTransaction(m_Db, wasAutocommit, failure);
  if (!failure.empty()) RaiseFailure(m_Db, failure);
  return results;
}

bool DatabaseDAO::isOpen() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Db != nullptr;
}

void DatabaseDAO::setBusyTimeout(int milliseconds) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_BusyTimeout = milliseconds;
  if (m_Db != nullptr) sqlite3_busy_timeout(m_Db, milliseconds);
}

void SetDefaultBusyTimeout(int milliseconds) { g_DefaultBusyTimeout = milliseconds; }

}  // namespace DatabaseWrapper

namespace {

// The storage last handed out, kept while someone holds it so that the host and its plug-ins
// share one connection to one home's database.
std::mutex g_CacheLock;
std::string g_CachePath;                          // guarded by g_CacheLock
std::weak_ptr<DatabaseORM::storage_t> g_Cache;    // guarded by g_CacheLock

}  // namespace

std::shared_ptr<DatabaseORM::storage_t> getDatabasePointer() {
  try {
    boost::filesystem::path process;
    KVL::Misc::CKvlApplication::GetProcessPath(process);
    if (process.empty() || !process.has_parent_path()) {
      return DatabaseWrapper::MakeHostStorage(std::make_shared<DatabaseWrapper::DatabaseDAO>(
          "The host database is unavailable: the host's home is not known."));
    }
    const std::string path = (process.parent_path() / "host.db").string();

    std::lock_guard<std::mutex> lock(g_CacheLock);
    if (auto cached = g_Cache.lock(); cached && g_CachePath == path) return cached;
    auto dao = DatabaseWrapper::DatabaseDAO::Open(path);
    auto storage = DatabaseWrapper::MakeHostStorage(dao);
    if (dao->isOpen()) {  // a failed open is retried by the next caller
      g_Cache = storage;
      g_CachePath = path;
    }
    return storage;
  } catch (const std::exception&) {
    return nullptr;  // out of memory: the plug-in treats a missing storage as a failed database
  }
}
