#include "support/fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/file.h"

namespace zt::testing {

DatabaseSchema SmallShopSchema() {
  DatabaseSchema schema;
  schema.tables.push_back(TableSchema{"Orders",
                                      {{"Id", 1, 6, true, false},
                                       {"Customer", 0, 20, true, false},
                                       {"Qty", 1, 5, false, false},
                                       {"Note", 0, 30, false, false}}});
  schema.tables.push_back(TableSchema{
      "Customers",
      {{"Id", 1, 6, true, false}, {"Name", 0, 30, false, false}, {"Old", 0, 4, false, true}}});
  return schema;
}

std::string ShopOrder(int i) {
  return PadLeft(std::to_string(i), 6) + PadRight("cust" + std::to_string(i % 13), 20) +
         PadLeft("1", 5) + PadRight("note", 30);
}

void AddShopOrders(const std::string& data_file) {
  Database db(TempFolder());
  std::string err = "cannot open the database";
  std::vector<int64_t> offsets;
  bool stored = db.OpenDatabase(data_file.c_str(), 0) != 0;
  for (int i = 0; i < 200 && stored; ++i) {
    const std::string data = ShopOrder(i);
    int64_t offset = -1;
    stored = db.AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "Orders", &err) != 0;
    offsets.push_back(offset);
  }
  for (size_t i = 0; i < offsets.size() && stored; i += 4) {
    stored = db.DeleteRecord("Orders", offsets[i], &err) != 0;
  }
  if (!stored) {
    std::fprintf(stderr, "fixture: %s\n", err.c_str());
    std::abort();
  }
}

void CreateDatabase(const std::string& data_file, const DatabaseSchema& schema) {
  std::string err;
  if (!CreateDatabaseFiles(data_file, schema, err)) {
    std::fprintf(stderr, "fixture: %s\n", err.c_str());
    std::abort();
  }
}

}  // namespace zt::testing
