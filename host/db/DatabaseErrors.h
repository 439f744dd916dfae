// Counts of the host database's errors by kind, for whoever reports on the database's health
// (the host shell's metrics and its standard error). The database code notes each error where it
// raises it; the first error of each kind also goes to the reporter. Safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace DatabaseWrapper {

enum class DatabaseErrorKind {
  kReadOnly,
  kLocked,
  kCorrupt,
  kCannotOpen,
  kReplaced,
  kFileTooLarge,  // a write past the process's file size limit (EFBIG)
  kOther,
};
constexpr int kDatabaseErrorKinds = 7;

// "read_only", "locked", "corrupt", "cannot_open", "replaced", "file_too_large", "other".
const char* DatabaseErrorKindName(DatabaseErrorKind kind);

// Notes one error with SQLite's result code (extended codes are folded to their primary code),
// the system's error number behind it (sqlite3_system_errno; 0: none known) and its message.
void NoteDatabaseError(int sqliteCode, const std::string& message, int systemErrno = 0);
// Notes that the database file was deleted or replaced under an open connection (the connection
// opens the file found at the path again).
void NoteDatabaseReplaced(const std::string& path);

// Errors of this kind noted since the process started.
uint64_t DatabaseErrorCount(DatabaseErrorKind kind);

// Called with the first error of each kind, on the thread that noted it; empty: none.
using DatabaseErrorReporter =
    std::function<void(DatabaseErrorKind kind, const std::string& message)>;
void SetDatabaseErrorReporter(DatabaseErrorReporter reporter);

}  // namespace DatabaseWrapper
