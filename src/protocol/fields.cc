#include "protocol/fields.h"

#include "engine/codec.h"

namespace zt {

int SplitFields(std::string_view request, RequestFields& fields) {
  for (std::string& field : fields) field.clear();
  int count = 0;
  size_t at = 0;
  while (count < kMaxFields) {
    while (at < request.size() && request[at] == kFieldSeparator) ++at;
    if (at >= request.size()) break;
    size_t end = request.find(kFieldSeparator, at);
    if (end == std::string_view::npos) end = request.size();
    fields[static_cast<size_t>(count)] = TrimBlanks(request.substr(at, end - at));
    ++count;
    at = end;
  }
  return count;
}

int32_t FieldToInt(std::string_view field) {
  size_t at = 0;
  while (at < field.size() && (field[at] == ' ' || (field[at] >= '\t' && field[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < field.size() && (field[at] == '+' || field[at] == '-')) {
    negative = field[at] == '-';
    ++at;
  }
  int64_t value = 0;
  for (; at < field.size() && field[at] >= '0' && field[at] <= '9'; ++at) {
    value = value * 10 + (field[at] - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;  // saturate, keep going
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace zt
