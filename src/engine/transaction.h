// TransactionContext: the transaction state of one client, handed by
// reference to the row-editing operations of the Database.
//
// The fields describe a journal of the client's changes kept in a
// transaction file of the work folder. Nothing in the server sets the flag
// or opens such a file: every context holds flag 0, id 0 and handle -1, and
// the editing operations then treat it as "no transaction" and write no
// journal. The struct lives in the engine because the engine's operations
// take it; the sessions of the network layer each own one.
#ifndef ZT_ENGINE_TRANSACTION_H_
#define ZT_ENGINE_TRANSACTION_H_

#include <cstdint>

namespace zt {

struct TransactionContext {
  int32_t in_transaction = 0;  // 0: no transaction
  int32_t transaction_id = 0;
  int32_t transaction_file = -1;  // -1: no transaction file
};

}  // namespace zt

#endif  // ZT_ENGINE_TRANSACTION_H_
