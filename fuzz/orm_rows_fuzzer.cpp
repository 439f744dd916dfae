// Bytes as the result texts of the host database (texts separated by NUL bytes), decoded by the
// table layer into plug-in, adapter and drive records through the host schema's field maps; the
// decoded records are then written back as statements (to a data-access object that only
// records them).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "DatabaseORM.h"
#include "FuzzHome.h"
#include "Schema.h"

namespace {

using DatabaseORM::And;
using DatabaseORM::Equal;
using RaidDataModels::Adapter;
using RaidDataModels::PD;
using RaidDataModels::Plugin;

// Answers a SELECT of rows with the result texts, a SELECT MAX with the first of them, and a
// write with nothing; keeps the last statement.
class ScriptedDao : public DatabaseWrapper::DatabaseDAO {
 public:
  std::vector<std::string> queryBound(const std::string& sql,
                                      const std::vector<DatabaseWrapper::BoundValue>&) override {
    last = sql;
    if (last.compare(0, 11, "SELECT MAX(") == 0)
      return texts.empty() ? texts : std::vector<std::string>{texts.front()};
    return last.compare(0, 7, "SELECT ") == 0 ? texts : std::vector<std::string>();
  }
  std::vector<std::string> texts;
  std::string last;
};

std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size) {
  std::vector<std::string> texts;
  if (size == 0) return texts;
  texts.emplace_back();
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      texts.emplace_back();
    else
      texts.back() += static_cast<char>(data[i]);
  }
  return texts;
}

// Decodes the texts as rows of T and writes each row back; the row count is fixed by the
// number of texts and the table's columns.
template <typename T, typename Condition>
void RoundTrip(DatabaseORM::storage_t& storage, ScriptedDao& dao, const Condition& condition) {
  const std::vector<T> rows = storage.select(condition);
  const size_t columns = storage.tableOf<T>()->columns.size();
  if (rows.size() != dao.texts.size() / columns) std::abort();
  for (const T& row : rows) {
    storage.update(row);
    if (dao.last.compare(0, 7, "UPDATE ") != 0) std::abort();
    storage.insert(row);  // the key is predicted from the first text, read as a number
  }
  if (storage.qualifyColumns != 1) std::abort();
  storage.remove(condition);
  if (storage.qualifyColumns != 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto dao = std::make_shared<ScriptedDao>();
  static std::shared_ptr<DatabaseORM::storage_t> storage = DatabaseWrapper::MakeHostStorage(dao);
  dao->texts = SplitAtNul(data, size);

  RoundTrip<Plugin>(*storage, *dao, Equal(&Plugin::Name, "VedidEVU-Plugin"));
  RoundTrip<Adapter>(
      *storage, *dao,
      And(Equal(&Adapter::AdapterNumber, 3), Equal(&Adapter::HostName, "localhost")));
  RoundTrip<PD>(*storage, *dao,
                And(Equal(&PD::HostName, "localhost"), Equal(&PD::SerialNumber, "PHKS750500FQ")));
  (void)storage->maxOf<PD>(RaidDataModels::ValueKind::Int, RaidDataModels::MemberOffset(&PD::ID));
  return 0;
}
