// Tests of the data-record header codec: exact bytes of a new header and
// the accessors over a header read from a file.
#include "engine/record.h"

#include <gtest/gtest.h>

#include <string>

namespace zt {
namespace {

std::string Field(const RecordHeader& header, size_t offset, size_t width) {
  return std::string(header.bytes.data() + offset, width);
}

TEST(RecordHeaderTest, NewHeaderHasTheDocumentedBytes) {
  const RecordHeader header = RecordHeader::ForNewRecord("Orders", -1, 30);
  EXPECT_EQ(Field(header, 0, 9), std::string("[ZTS123]\0", 9));
  EXPECT_EQ(Field(header, 10, 33), "Orders" + std::string(27, '\0'));
  EXPECT_EQ(Field(header, 43, 11), "-1" + std::string(9, '\0'));
  EXPECT_EQ(header.bytes[54], 'N');
  EXPECT_EQ(header.bytes[55], 'N');
  EXPECT_EQ(Field(header, 56, 11), "0" + std::string(10, '\0'));
  EXPECT_EQ(Field(header, 67, 11), "0" + std::string(10, '\0'));
  EXPECT_EQ(Field(header, 78, 11), "30" + std::string(9, '\0'));
}

TEST(RecordHeaderTest, AccessorsRoundTrip) {
  RecordHeader header = RecordHeader::ForNewRecord("T", 0, 0);
  header.set_table(std::string(40, 'n'));  // cut to 32 characters
  EXPECT_EQ(header.table(), std::string(32, 'n'));
  header.set_previous(2147483000);
  EXPECT_EQ(header.previous(), 2147483000);
  header.set_change_counter(41);
  EXPECT_EQ(header.change_counter(), 41);
  header.set_data_length(16384);
  EXPECT_EQ(header.data_length(), 16384);
  EXPECT_FALSE(header.superseded());
  header.set_superseded(true);
  EXPECT_EQ(header.bytes[54], 'Y');
  EXPECT_TRUE(header.superseded());
  header.bytes[54] = 'y';
  EXPECT_TRUE(header.superseded());
}

// One change more: plus one, and after 2147483647 the counter starts at 0
// again (decimal text, as every number of the header).
TEST(RecordHeaderTest, CountingAChangeWrapsAtTheLimit) {
  const struct {
    int32_t before;
    int32_t after;
    const char* stored;
  } cases[] = {
      {0, 1, "1"},
      {2147483646, 2147483647, "2147483647"},
      {2147483647, 0, "0"},
  };
  for (const auto& c : cases) {
    RecordHeader header = RecordHeader::ForNewRecord("T", -1, 0);
    header.set_change_counter(c.before);
    header.count_change();
    EXPECT_EQ(header.change_counter(), c.after) << c.before;
    EXPECT_EQ(Field(header, 67, 11), c.stored + std::string(11 - std::string(c.stored).size(), '\0'));
  }
}

TEST(RecordHeaderTest, MarkerIsComparedWithoutRegardToCase) {
  RecordHeader header = RecordHeader::ForNewRecord("T", -1, 0);
  EXPECT_TRUE(header.has_marker());
  header.bytes[1] = 'z';
  EXPECT_TRUE(header.has_marker());
  header.bytes[7] = '}';
  EXPECT_FALSE(header.has_marker());
  EXPECT_FALSE(RecordHeader{}.has_marker());
}

}  // namespace
}  // namespace zt
