// Placeholder until the database library is written.
#include "Database.h"
std::shared_ptr<DatabaseORM::storage_t> getDatabasePointer() { return nullptr; }
