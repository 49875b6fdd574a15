// Small database fixtures for the engine and recordset tests.
#ifndef ZT_TESTS_SUPPORT_FIXTURES_H_
#define ZT_TESTS_SUPPORT_FIXTURES_H_

#include <string>

#include "engine/database_builder.h"

namespace zt::testing {

// Two tables: Orders (Id integer 6 key, Customer text 20 key, Qty integer 5,
// Note text 30) and Customers (Id integer 6 key, Name text 30, Old text 4
// dropped).
DatabaseSchema SmallShopSchema();

// The data of order i of the shop schema: Id i, Customer "cust<i % 13>",
// Qty 1, Note "note".
std::string ShopOrder(int i);
// Stores orders 0..199 into the shop database at data_file (nobody holds
// it) and deletes every fourth one again (0, 4, ...): 150 live orders.
// Aborts on failure.
void AddShopOrders(const std::string& data_file);

// Creates the database files for schema at data_file; aborts on failure.
void CreateDatabase(const std::string& data_file, const DatabaseSchema& schema);

}  // namespace zt::testing

#endif  // ZT_TESTS_SUPPORT_FIXTURES_H_
