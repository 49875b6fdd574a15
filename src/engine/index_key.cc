#include "engine/index_key.h"

#include <algorithm>

#include "engine/codec.h"
#include "engine/definition.h"
#include "engine/index.h"

namespace zt {
namespace {

// A column size read from a damaged definition may be anything; no sound
// column is wider than a whole record, so that bounds what is allocated.
size_t ValueWidth(int32_t size) {
  if (size <= 0) return 0;
  return std::min(static_cast<size_t>(size), static_cast<size_t>(kMaxRecordLength));
}

}  // namespace

std::string MakeIndexKey(std::string_view table, std::string_view column, std::string_view value,
                         int32_t size, int32_t type) {
  const std::string_view trimmed = TrimBlanks(value);
  const size_t width = ValueWidth(size);
  std::string key;
  key.reserve(table.size() + column.size() + width);
  key.append(table);
  key.append(column);
  key.append(IsNumericType(type) ? PadLeft(trimmed, width) : PadRight(trimmed, width));
  if (key.size() > kMaxKeyLength) key.resize(kMaxKeyLength);
  return key;
}

size_t IndexKeyLength(std::string_view table, std::string_view column, int32_t size) {
  return std::min(table.size() + column.size() + ValueWidth(size), kMaxKeyLength);
}

bool IsOrderedNumber(std::string_view value) {
  if (value.empty() || value.size() > kMaxOrderedDigits) return false;
  if (value.size() > 1 && value.front() == '0') return false;
  for (const char c : value) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool KeyHasPrefix(std::string_view key, std::string_view prefix) {
  return key.size() >= prefix.size() && EqualNoCase(key.substr(0, prefix.size()), prefix);
}

int64_t IndexEntryBound(IndexFile& index) {
  const int64_t length = index.Length();
  if (length < 0) return 0;
  return (length / static_cast<int64_t>(IndexPage::kSize) + 1) * IndexPage::kMaxAtRest;
}

std::string IndexEntryItem(std::string_view key, int64_t record) {
  std::string item;
  IndexEntryItemInto(item, key, record);
  return item;
}

void IndexEntryItemInto(std::string& out, std::string_view key, int64_t record) {
  out.assign(key);
  out.resize(key.size() + kEntryItemRecordWidth);
  EncodeFixed64(out.data() + key.size(), record);
}

std::string_view IndexEntryItemKey(std::string_view item) {
  return item.substr(0, item.size() - kEntryItemRecordWidth);
}

int64_t IndexEntryItemRecord(std::string_view item) {
  return DecodeFixed64(item.data() + item.size() - kEntryItemRecordWidth);
}

bool IndexEntryItemLess(std::string_view a, std::string_view b) {
  const int c = CompareNoCase(IndexEntryItemKey(a), IndexEntryItemKey(b));
  return c != 0 ? c < 0 : IndexEntryItemRecord(a) < IndexEntryItemRecord(b);
}

}  // namespace zt
