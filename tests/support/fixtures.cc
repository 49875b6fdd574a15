#include "support/fixtures.h"

#include <cstdio>
#include <cstdlib>

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

void CreateDatabase(const std::string& data_file, const DatabaseSchema& schema) {
  std::string err;
  if (!CreateDatabaseFiles(data_file, schema, err)) {
    std::fprintf(stderr, "fixture: %s\n", err.c_str());
    std::abort();
  }
}

}  // namespace zt::testing
