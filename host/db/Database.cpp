// The host database: a SQLite file in the host home, its connection and the storage that the
// host hands to plug-ins.

#include "Database.h"

#include <sqlite3.h>
#include <strings.h>

#include <atomic>
#include <exception>
#include <utility>

#include <boost/filesystem/path.hpp>

#include "DatabaseDAO.h"
#include "DatabaseORM.h"
#include "KVL.h"
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

std::string Unavailable(const std::string& path, const std::string& reason) {
  return "The host database " + path + " is unavailable: " + reason;
}

}  // namespace

DatabaseDAO::DatabaseDAO(std::string reason) : m_Unavailable(std::move(reason)) {}

DatabaseDAO::~DatabaseDAO() { sqlite3_close_v2(m_Db); }

std::shared_ptr<DatabaseDAO> DatabaseDAO::Open(const std::string& path, OpenMode mode) {
  const int flags = mode == OpenMode::ReadOnly ? SQLITE_OPEN_READONLY
                                               : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string reason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return std::make_shared<DatabaseDAO>(Unavailable(path, reason));
  }
  sqlite3_busy_timeout(db, g_DefaultBusyTimeout.load());

  // The first statement reads the file, so a file that is not a database fails here. WAL lets
  // readers go on while another connection writes; a read-only file keeps its journal mode.
  const char* setup = mode == OpenMode::ReadOnly ? "SELECT COUNT(*) FROM sqlite_master;"
                                                 : "PRAGMA journal_mode = WAL;";
  std::string schema = mode == OpenMode::ReadOnly ? "" : HostSchemaSql();
  char* error = nullptr;
  if (sqlite3_exec(db, setup, nullptr, nullptr, &error) != SQLITE_OK ||
      sqlite3_exec(db, schema.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error != nullptr ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    sqlite3_close_v2(db);
    return std::make_shared<DatabaseDAO>(Unavailable(path, reason));
  }
  sqlite3_set_authorizer(db, Authorize, nullptr);

  auto dao = std::make_shared<DatabaseDAO>();
  dao->m_Db = db;
  return dao;
}

std::vector<std::string> DatabaseDAO::query(std::string sql) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (m_Db == nullptr) throw DBEXCEPTION::DatabaseException(m_Unavailable);

  const bool wasAutocommit = sqlite3_get_autocommit(m_Db) != 0;
  std::vector<std::string> values;
  std::string failure;
  const char* next = sql.c_str();
  const char* const end = next + sql.size();
  while (next < end && failure.empty()) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int prepared =
        sqlite3_prepare_v2(m_Db, next, static_cast<int>(end - next), &raw, &tail);
    Statement statement(raw);
    if (prepared != SQLITE_OK) {
      failure = sqlite3_errmsg(m_Db);
      break;
    }
    if (tail == nullptr || tail <= next) break;  // nothing consumed: an embedded NUL
    next = tail;
    if (!statement) continue;  // blanks or a comment
    const int columns = sqlite3_column_count(statement.get());
    int stepped;
    while ((stepped = sqlite3_step(statement.get())) == SQLITE_ROW) {
      for (int i = 0; i < columns; ++i) {
        const unsigned char* text = sqlite3_column_text(statement.get(), i);
        values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
      }
    }
    if (stepped != SQLITE_DONE) failure = sqlite3_errmsg(m_Db);
  }

  // A transaction that the text opened and left open would swallow every later write of the
  // shared connection; undo it.
  if (wasAutocommit && sqlite3_get_autocommit(m_Db) == 0) {
    sqlite3_exec(m_Db, "ROLLBACK;", nullptr, nullptr, nullptr);
    if (failure.empty()) failure = "a transaction left open by the statements was rolled back";
  }
  if (!failure.empty()) throw DBEXCEPTION::DatabaseException(failure);
  return values;
}

bool DatabaseDAO::isOpen() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Db != nullptr;
}

void DatabaseDAO::setBusyTimeout(int milliseconds) {
  std::lock_guard<std::mutex> lock(m_Mutex);
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
