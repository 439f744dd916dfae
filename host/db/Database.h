// The host's database library: opens the host database and hands out the shared storage.
#pragma once

#include <memory>

namespace DatabaseORM {
struct storage_t;
}

// The storage of the host database (DIR/host.db of the host home), created with its schema on
// first use. Shared: the caller keeps it as long as it needs it.
std::shared_ptr<DatabaseORM::storage_t> getDatabasePointer();
