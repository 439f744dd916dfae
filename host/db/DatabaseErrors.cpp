// Database error counts by kind, and the once-per-kind report.

#include "DatabaseErrors.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

namespace DatabaseWrapper {
namespace {

std::atomic<uint64_t> g_Counts[kDatabaseErrorKinds] = {};
std::atomic<bool> g_Reported[kDatabaseErrorKinds] = {};
std::mutex g_ReporterMutex;
std::shared_ptr<const DatabaseErrorReporter> g_Reporter;  // guarded by g_ReporterMutex

DatabaseErrorKind KindOf(int sqliteCode, int systemErrno) {
  switch (sqliteCode & 0xff) {
    case SQLITE_IOERR:
    case SQLITE_FULL:
      // SQLite says only that a write failed; the system says it went past the file size limit.
      return systemErrno == EFBIG ? DatabaseErrorKind::kFileTooLarge : DatabaseErrorKind::kOther;
    case SQLITE_READONLY:
    case SQLITE_PERM:
      return DatabaseErrorKind::kReadOnly;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return DatabaseErrorKind::kLocked;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return DatabaseErrorKind::kCorrupt;
    case SQLITE_CANTOPEN:
      return DatabaseErrorKind::kCannotOpen;
    default:
      return DatabaseErrorKind::kOther;
  }
}

void Note(DatabaseErrorKind kind, const std::string& message) {
  const int index = static_cast<int>(kind);
  ++g_Counts[index];
  if (g_Reported[index].exchange(true)) return;
  std::shared_ptr<const DatabaseErrorReporter> reporter;
  {
    std::lock_guard<std::mutex> lock(g_ReporterMutex);
    reporter = g_Reporter;
  }
  if (reporter) {
    (*reporter)(kind, message);
  } else {
    g_Reported[index] = false;  // nobody heard it: the next one is reported
  }
}

}  // namespace

const char* DatabaseErrorKindName(DatabaseErrorKind kind) {
  static constexpr const char* kNames[kDatabaseErrorKinds] = {
      "read_only", "locked", "corrupt", "cannot_open", "replaced", "file_too_large", "other"};
  return kNames[static_cast<int>(kind)];
}

void NoteDatabaseError(int sqliteCode, const std::string& message, int systemErrno) {
  Note(KindOf(sqliteCode, systemErrno), message);
}

void NoteDatabaseReplaced(const std::string& path) {
  Note(DatabaseErrorKind::kReplaced,
       "the database file " + path + " was deleted or replaced; it is opened again");
}

uint64_t DatabaseErrorCount(DatabaseErrorKind kind) {
  return g_Counts[static_cast<int>(kind)].load();
}

void SetDatabaseErrorReporter(DatabaseErrorReporter reporter) {
  std::lock_guard<std::mutex> lock(g_ReporterMutex);
  g_Reporter = reporter ? std::make_shared<const DatabaseErrorReporter>(std::move(reporter))
                        : nullptr;
}

}  // namespace DatabaseWrapper
