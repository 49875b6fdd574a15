// Request syntax: a request text is cut at "~" into at most nine fields
// (field 1 is the command name, field 2 the recordset handle of every
// RECORDSET command), and numbers in fields are read like C's atoi.
#ifndef ZT_PROTOCOL_FIELDS_H_
#define ZT_PROTOCOL_FIELDS_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zt {

// Fields a request may carry; tokens behind the ninth are ignored.
inline constexpr int kMaxFields = 9;
inline constexpr char kFieldSeparator = '~';

using RequestFields = std::array<std::string, kMaxFields>;

// Splits a request into fields; returns how many were stored (0..9). A run
// of "~" is one separator and "~" at either end makes no token, so an empty
// field cannot be written; each token is trimmed of blanks (0x20 only), and
// a token of blanks becomes an empty field that keeps its position. Fields
// not supplied are left empty.
int SplitFields(std::string_view request, RequestFields& fields);

// Number in a field: leading white space skipped, an optional sign, then
// decimal digits up to the first non-digit; no digits gives 0 ("12ab" is
// 12, "x" is 0). Values beyond the 32-bit range saturate.
int32_t FieldToInt(std::string_view field);

}  // namespace zt

#endif  // ZT_PROTOCOL_FIELDS_H_
