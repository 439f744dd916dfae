// The host database's schema: the tables of the plug-in, adapter and drive rows, as SQL and as
// the table records and field maps of a storage. Built from one list of columns per model;
// the functions only read constant data and are safe from any thread.
#pragma once

#include <memory>
#include <string>

#include "DatabaseDAO.h"

namespace DatabaseORM {
struct storage_t;
}

namespace DatabaseWrapper {

// The statements that create every missing table of the schema.
std::string HostSchemaSql();

// The statements that create the indexes of the plug-in's row lookups where they are missing.
std::string HostIndexSql();

// A storage over `dao` holding the schema's table records and field maps, with prefixed
// conditions. The caller owns the storage (shared).
std::shared_ptr<DatabaseORM::storage_t> MakeHostStorage(std::shared_ptr<DatabaseDAO> dao);

}  // namespace DatabaseWrapper
