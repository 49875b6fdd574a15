#include "engine/record.h"

#include <cstring>
#include <limits>

namespace zt {

RecordHeader RecordHeader::ForNewRecord(std::string_view table, int64_t previous,
                                        int32_t data_length) {
  RecordHeader header;
  PutTextField(&header.bytes[kMarkerOffset], kMarkerWidth, kMarker);
  header.set_table(table);
  header.set_previous(previous);
  header.set_superseded(false);
  header.bytes[kSecondFlagOffset] = 'N';
  PutNumberField(&header.bytes[kUnusedNumberOffset], kNumberFieldWidth, 0);
  header.set_change_counter(0);
  header.set_data_length(data_length);
  return header;
}

bool RecordHeader::has_marker() const {
  return EqualNoCase(std::string_view(&bytes[kMarkerOffset], kMarker.size()), kMarker);
}

std::string_view RecordHeader::table() const {
  return GetTextField(&bytes[kTableOffset], kNameFieldWidth);
}

void RecordHeader::set_table(std::string_view name) {
  PutTextField(&bytes[kTableOffset], kNameFieldWidth, name);
}

int32_t RecordHeader::previous() const {
  return GetNumberField(&bytes[kPreviousOffset], kNumberFieldWidth);
}

void RecordHeader::set_previous(int64_t offset) {
  PutNumberField(&bytes[kPreviousOffset], kNumberFieldWidth, offset);
}

bool RecordHeader::superseded() const { return FlagIs(bytes[kSupersededOffset], 'Y'); }

void RecordHeader::set_superseded(bool superseded) {
  bytes[kSupersededOffset] = superseded ? 'Y' : 'N';
}

int32_t RecordHeader::change_counter() const {
  return GetNumberField(&bytes[kChangeCounterOffset], kNumberFieldWidth);
}

void RecordHeader::set_change_counter(int32_t n) {
  PutNumberField(&bytes[kChangeCounterOffset], kNumberFieldWidth, n);
}

void RecordHeader::count_change() {
  const int32_t n = change_counter();
  set_change_counter(n == std::numeric_limits<int32_t>::max() ? 0 : n + 1);
}

int32_t RecordHeader::data_length() const {
  return GetNumberField(&bytes[kDataLengthOffset], kNumberFieldWidth);
}

void RecordHeader::set_data_length(int32_t n) {
  PutNumberField(&bytes[kDataLengthOffset], kNumberFieldWidth, n);
}

}  // namespace zt
