#include "engine/definition.h"

#include <cassert>

namespace zt {
namespace {

int Clamp(int32_t n, int low, int high) { return n < low ? low : (n > high ? high : n); }

}  // namespace

// ---- DefinitionHeader ------------------------------------------------------

int32_t DefinitionHeader::stored_table_count() const {
  return GetNumberField(&bytes[kTableCountOffset], kNumberFieldWidth);
}

int DefinitionHeader::table_count() const { return Clamp(stored_table_count(), 0, kMaxTables); }

void DefinitionHeader::set_table_count(int n) {
  PutNumberField(&bytes[kTableCountOffset], kNumberFieldWidth, n);
}

std::string_view DefinitionHeader::table_name(int slot) const {
  assert(slot >= 0 && slot < kMaxTables);
  return GetTextField(&bytes[kTableNamesOffset + kNameFieldWidth * static_cast<size_t>(slot)],
                      kNameFieldWidth);
}

void DefinitionHeader::set_table_name(int slot, std::string_view name) {
  assert(slot >= 0 && slot < kMaxTables);
  PutTextField(&bytes[kTableNamesOffset + kNameFieldWidth * static_cast<size_t>(slot)],
               kNameFieldWidth, name);
}

std::string_view DefinitionHeader::location(int k) const {
  assert(k >= 0 && k < kLocationFieldCount);
  return GetTextField(&bytes[LocationFieldOffset(k)], kLocationWidths[static_cast<size_t>(k)]);
}

void DefinitionHeader::set_location(int k, std::string_view text) {
  assert(k >= 0 && k < kLocationFieldCount);
  PutTextField(&bytes[LocationFieldOffset(k)], kLocationWidths[static_cast<size_t>(k)], text);
}

// ---- TableDefinition -------------------------------------------------------

std::string_view TableDefinition::name() const {
  return GetTextField(&bytes[kNameOffset], kNameFieldWidth);
}
void TableDefinition::set_name(std::string_view n) {
  PutTextField(&bytes[kNameOffset], kNameFieldWidth, n);
}

int32_t TableDefinition::stored_column_count() const {
  return GetNumberField(&bytes[kColumnCountOffset], kNumberFieldWidth);
}
int TableDefinition::column_count() const { return Clamp(stored_column_count(), 0, kMaxColumns); }
void TableDefinition::set_column_count(int n) {
  PutNumberField(&bytes[kColumnCountOffset], kNumberFieldWidth, n);
}

int32_t TableDefinition::record_length() const {
  return GetNumberField(&bytes[kRecordLengthOffset], kNumberFieldWidth);
}
void TableDefinition::set_record_length(int32_t n) {
  PutNumberField(&bytes[kRecordLengthOffset], kNumberFieldWidth, n);
}

int64_t TableDefinition::newest_record() const {
  return GetNumberField(&bytes[kNewestRecordOffset], kNumberFieldWidth);
}
void TableDefinition::set_newest_record(int64_t offset) {
  PutNumberField(&bytes[kNewestRecordOffset], kNumberFieldWidth, offset);
}
std::string_view TableDefinition::newest_record_text() const {
  return GetTextField(&bytes[kNewestRecordOffset], kNumberFieldWidth);
}
void TableDefinition::set_newest_record_text(std::string_view text) {
  PutTextField(&bytes[kNewestRecordOffset], kNumberFieldWidth, text);
}

std::string_view TableDefinition::column_name(int f) const {
  assert(f >= 0 && f < kMaxColumns);
  return GetTextField(&bytes[kColumnNamesOffset + kNameFieldWidth * static_cast<size_t>(f)],
                      kNameFieldWidth);
}
void TableDefinition::set_column_name(int f, std::string_view n) {
  assert(f >= 0 && f < kMaxColumns);
  PutTextField(&bytes[kColumnNamesOffset + kNameFieldWidth * static_cast<size_t>(f)],
               kNameFieldWidth, n);
}

int32_t TableDefinition::column_size(int f) const {
  assert(f >= 0 && f < kMaxColumns);
  return GetNumberField(&bytes[kColumnSizesOffset + kNumberFieldWidth * static_cast<size_t>(f)],
                        kNumberFieldWidth);
}
void TableDefinition::set_column_size(int f, int32_t size) {
  assert(f >= 0 && f < kMaxColumns);
  PutNumberField(&bytes[kColumnSizesOffset + kNumberFieldWidth * static_cast<size_t>(f)],
                 kNumberFieldWidth, size);
}

int32_t TableDefinition::column_type(int f) const {
  assert(f >= 0 && f < kMaxColumns);
  return GetNumberField(&bytes[kColumnTypesOffset + kNumberFieldWidth * static_cast<size_t>(f)],
                        kNumberFieldWidth);
}
void TableDefinition::set_column_type(int f, int32_t type) {
  assert(f >= 0 && f < kMaxColumns);
  PutNumberField(&bytes[kColumnTypesOffset + kNumberFieldWidth * static_cast<size_t>(f)],
                 kNumberFieldWidth, type);
}

bool TableDefinition::is_key(int f) const {
  assert(f >= 0 && f < kMaxColumns);
  return FlagIs(bytes[kKeyFlagsOffset + static_cast<size_t>(f)], 'Y');
}
void TableDefinition::set_key(int f, bool key) {
  assert(f >= 0 && f < kMaxColumns);
  bytes[kKeyFlagsOffset + static_cast<size_t>(f)] = key ? 'Y' : 'N';
}

bool TableDefinition::is_dropped(int f) const {
  assert(f >= 0 && f < kMaxColumns);
  return !FlagIs(bytes[kDroppedFlagsOffset + static_cast<size_t>(f)], 'N');
}
void TableDefinition::set_dropped(int f, bool dropped) {
  assert(f >= 0 && f < kMaxColumns);
  bytes[kDroppedFlagsOffset + static_cast<size_t>(f)] = dropped ? 'Y' : 'N';
}

int64_t TableDefinition::column_offset(int f) const {
  int64_t offset = 0;
  for (int i = 0; i < f && i < kMaxColumns; ++i) {
    const int32_t size = column_size(i);
    if (size > 0) offset += size;
  }
  return offset;
}

int TableDefinition::find_column(std::string_view n) const {
  const int count = column_count();
  for (int f = 0; f < count; ++f) {
    if (EqualNoCase(column_name(f), n)) return f;
  }
  return -1;
}

int TableDefinition::find_live_column(std::string_view n) const {
  const int count = column_count();
  for (int f = 0; f < count; ++f) {
    if (!is_dropped(f) && EqualNoCase(column_name(f), n)) return f;
  }
  return -1;
}

std::string_view TableDefinition::column_type_text(int f) const {
  assert(f >= 0 && f < kMaxColumns);
  return GetTextField(&bytes[kColumnTypesOffset + kNumberFieldWidth * static_cast<size_t>(f)],
                      kNumberFieldWidth);
}

std::string DefinitionHeaderProblem(const DefinitionHeader& header) {
  const int32_t count = header.stored_table_count();
  if (count < 0 || count > kMaxTables) {
    return "the definition file claims " + std::to_string(count) + " tables (at most " +
           std::to_string(kMaxTables) + ")";
  }
  return {};
}

std::string TableDefinitionProblem(const TableDefinition& definition, int slot) {
  const std::string which = "table definition " + std::to_string(slot + 1) + " (" +
                            std::string(TrimBlanks(definition.name())) + ")";
  const int32_t columns = definition.stored_column_count();
  if (columns < 0 || columns > kMaxColumns) {
    return which + " claims " + std::to_string(columns) + " columns (at most " +
           std::to_string(kMaxColumns) + ")";
  }
  const int32_t length = definition.record_length();
  if (length < 0 || length > kMaxRecordLength) {
    return which + " claims a record length of " + std::to_string(length) + " (at most " +
           std::to_string(kMaxRecordLength) + ")";
  }
  int64_t sum = 0;
  for (int f = 0; f < columns; ++f) {
    const int32_t size = definition.column_size(f);
    if (size < 0) {
      return which + ": column " + std::to_string(f + 1) + " has the size " + std::to_string(size);
    }
    sum += size;
  }
  if (sum != length) {
    return which + ": its column sizes add up to " + std::to_string(sum) +
           ", not to its record length " + std::to_string(length);
  }
  return {};
}

}  // namespace zt
