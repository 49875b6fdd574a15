// The one way a recordset operation fails with a message: the text goes
// into the recordset's own error text (cut to its limit) and, for the
// failures the system reports, on to Database::ReportError.
#ifndef ZT_RECORDSET_RECORDSET_FAIL_H_
#define ZT_RECORDSET_RECORDSET_FAIL_H_

#include <string_view>

#include "engine/database.h"
#include "recordset/recordset.h"

namespace zt {

// Always returns 0, so that a failing operation can `return FailRecordset(...)`.
inline int FailRecordset(const Database& database, Recordset& recordset, std::string_view text,
                         Report report) {
  recordset.SetError(text);
  if (report == Report::kYes) database.ReportError(recordset.error_text);
  return 0;
}

}  // namespace zt

#endif  // ZT_RECORDSET_RECORDSET_FAIL_H_
