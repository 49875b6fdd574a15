// Long requests in slices, seen from clients: other clients are answered
// while a long request runs, and its result is the result of running it
// whole at one moment, whatever others write between its slices.
//
// The server runs with RequestSlice=0, so a long request pauses at every
// step and others' requests land between its steps. A writer changes the
// table in lockstep while the request runs, and the test keeps a model of
// every state the table went through; the request's result must be the
// model's result at one of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/server_process.h"

namespace zt::testing {
namespace {

constexpr int kRows = 3000;
constexpr int kCities = 7;

struct Person {
  std::string name;
  std::string city;
};
// The table as it stood after each acknowledged change, ID -> row.
using TableState = std::map<int, Person>;

std::string NameOf(int id, int version) {
  return "n" + std::to_string((id * 7919 + version * 104729) % 100000) + "x" + std::to_string(id);
}
std::string CityOf(int id, int version) { return "c" + std::to_string((id + version) % kCities); }

class SlicedRequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string csv = "ID,NAME,CITY\n";
    for (int id = 1; id <= kRows; ++id) {
      state_[id] = {NameOf(id, 0), CityOf(id, 0)};
      csv += std::to_string(id) + "," + state_[id].name + "," + state_[id].city + "\n";
    }
    std::string out;
    ASSERT_TRUE(MakeLoadedDatabase(fixture_.folder(), "db",
                                   "table T\ncolumn ID integer 10 key\ncolumn NAME text 20 key\n"
                                   "column CITY text 12\n",
                                   {{"T", csv}}, &out))
        << out;
    fixture_.SetRetryDelay(kTestRetryDelayMs, "RequestSlice=0\nDurability=os\nMetricsAddress=127.0.0.1:0\n");
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
    metrics_port_ = fixture_.server().WaitForListeningPort(10000, "Metrics on ");
    reader_ = fixture_.Connect();
    writer_ = fixture_.Connect();
    ASSERT_NE(reader_, nullptr);
    ASSERT_NE(writer_, nullptr);
    ASSERT_EQ(Ask(*reader_, "CREATERECORDSET"), "CREATERECORDSET~1");
    ASSERT_EQ(Ask(*writer_, "CREATERECORDSET"), "CREATERECORDSET~2");
    // The first open by ID walks the whole column once (it learns which
    // keys are out of numeric order); the writer's later ones are short.
    ASSERT_EQ(Ask(*writer_, "RECORDSETADDFILTERCOLUMN~2~ID~=~1~1"), "RECORDSETADDFILTERCOLUMN~2");
    ASSERT_EQ(Ask(*writer_, "RECORDSETOPEN~2~T"), "RECORDSETOPEN~2");
    ASSERT_EQ(Ask(*writer_, "RECORDSETCLEARFILTERS~2"), "RECORDSETCLEARFILTERS~2");
  }

  // One change by the writer: a new name and city for a row, or a new row.
  // Sends its requests; the replies are read by FinishWrite.
  std::vector<std::string> StartWrite() {
    std::vector<std::string> requests = {"RECORDSETCLEARFILTERS~2"};
    const int version = ++version_;
    int id = 0;
    if (rng_() % 4 == 0) {
      id = next_id_++;
      requests.insert(requests.end(), {"RECORDSETADDFILTERCOLUMN~2~ID~=~" + std::to_string(id) + "~1",
                                       "RECORDSETOPEN~2~T", "RECORDSETADDROW~2",
                                       "RECORDSETSETFIELDVALUE~2~ID~" + std::to_string(id)});
    } else {
      id = 1 + static_cast<int>(rng_() % kRows);
      requests.insert(requests.end(), {"RECORDSETADDFILTERCOLUMN~2~ID~=~" + std::to_string(id) + "~1",
                                       "RECORDSETOPEN~2~T", "RECORDSETMOVEFIRST~2"});
    }
    pending_ = {id, {NameOf(id, version), CityOf(id, version)}};
    requests.push_back("RECORDSETSETFIELDVALUE~2~NAME~" + pending_.second.name);
    requests.push_back("RECORDSETSETFIELDVALUE~2~CITY~" + pending_.second.city);
    requests.push_back("RECORDSETUPDATE~2");
    for (const std::string& r : requests) EXPECT_TRUE(writer_->SendFrame(r).ok()) << r;
    return requests;
  }

  // Runs the request on the reader while the writer changes the table in
  // lockstep; returns every state the table was in from the request's
  // sending to its reply (and the reply).
  std::vector<TableState> RunBesideWrites(const std::string& request, std::string& reply) {
    std::vector<TableState> states = {state_};
    EXPECT_TRUE(reader_->SendFrame(request).ok());
    bool answered = false;
    int writes = 0;
    while (!answered || writes == 0) {
      std::vector<std::string> requests;
      if (writes < 400) requests = StartWrite();
      size_t replies = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (replies < requests.size() && std::chrono::steady_clock::now() < deadline) {
        if (!answered && reader_->ReceiveText(reply, 0).ok()) answered = true;
        std::string text;
        if (writer_->ReceiveText(text, 20).ok()) {
          ++replies;
          if (replies == requests.size()) {
            EXPECT_EQ(text, "RECORDSETUPDATE~2");
          }
        }
      }
      if (requests.empty()) {
        if (!answered) answered = reader_->ReceiveText(reply, kReplyTimeoutMs).ok();
        break;
      }
      EXPECT_EQ(replies, requests.size());
      state_[pending_.first] = pending_.second;
      states.push_back(state_);
      ++writes;
      if (!answered && reader_->ReceiveText(reply, 0).ok()) answered = true;
    }
    EXPECT_TRUE(answered) << request;
    return states;
  }

  // The IDs of the reader's rows, in row order.
  std::vector<int> ReaderIds() {
    std::vector<int> ids;
    std::string reply = Ask(*reader_, "RECORDSETMOVEFIRST~1");
    while (reply == "RECORDSETMOVEFIRST~1" || reply == "RECORDSETMOVENEXT~1") {
      const std::string value = Ask(*reader_, "RECORDSETGETFIELDVALUE~1~ID");
      ids.push_back(std::atoi(value.c_str() + value.rfind('~') + 1));
      reply = Ask(*reader_, "RECORDSETMOVENEXT~1");
    }
    return ids;
  }

  // Whether the result matches the model at one of the states.
  template <typename Model, typename Result>
  static bool MatchesOneState(const std::vector<TableState>& states, const Result& result,
                              Model model) {
    return std::any_of(states.begin(), states.end(),
                       [&](const TableState& s) { return model(s) == result; });
  }

  double Metric(const std::string& series) { return ScrapeMetric(metrics_port_, series); }

  // Sends the request on the reader and polls until the server counts it
  // as a long request under way (it did not end in its first slice).
  void StartLongRequest(const std::string& request) {
    const double jobs_before = Metric("ztserver_jobs_total");
    ASSERT_TRUE(reader_->SendFrame(request).ok());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Metric("ztserver_jobs_total") <= jobs_before &&
           std::chrono::steady_clock::now() < deadline) {
    }
  }

  ServerFixture fixture_{/*with_database=*/false};
  uint16_t metrics_port_ = 0;
  std::unique_ptr<Client> reader_;
  std::unique_ptr<Client> writer_;
  TableState state_;
  std::pair<int, Person> pending_;
  int version_ = 0;
  int next_id_ = kRows + 1;
  std::mt19937 rng_{20261211};
};

// Rows in chain order (oldest first): the IDs in the order they were added.
std::vector<int> WithCity(const TableState& s, const std::string& city) {
  std::vector<int> ids;
  for (const auto& [id, p] : s) {
    if (p.city == city) ids.push_back(id);
  }
  return ids;
}

TEST_F(SlicedRequestsTest, OpensAreResultsOfOneMoment) {
  struct Case {
    const char* what;
    std::vector<std::string> conditions;
    std::vector<int> (*model)(const TableState&);
  };
  const Case cases[] = {
      {"a walk of the chain (condition on a column without keys)",
       {"CITY~=~c3~0"},
       [](const TableState& s) { return WithCity(s, "c3"); }},
      {"a walk of the index (names from n5)",
       {"NAME~>=~n5~0"},
       [](const TableState& s) {
         std::vector<std::pair<std::string, int>> by_name;
         for (const auto& [id, p] : s) {
           if (p.name >= "n5") by_name.emplace_back(p.name, id);
         }
         std::sort(by_name.begin(), by_name.end());
         std::vector<int> ids;
         for (const auto& entry : by_name) ids.push_back(entry.second);
         return ids;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Ask(*reader_, "RECORDSETCLEARFILTERS~1"), "RECORDSETCLEARFILTERS~1");
    for (const std::string& condition : c.conditions) {
      ASSERT_EQ(Ask(*reader_, "RECORDSETADDFILTERCOLUMN~1~" + condition),
                "RECORDSETADDFILTERCOLUMN~1");
    }
    std::string reply;
    const std::vector<TableState> states = RunBesideWrites("RECORDSETOPEN~1~T", reply);
    ASSERT_EQ(reply, "RECORDSETOPEN~1");
    EXPECT_TRUE(MatchesOneState(states, ReaderIds(), c.model)) << states.size() << " states";
  }
  EXPECT_GT(Metric("ztserver_jobs_total"), 0);
  EXPECT_GT(Metric("ztserver_job_restarts_total"), 0);
}

TEST_F(SlicedRequestsTest, SortFindAndFilterOnAreResultsOfOneMoment) {
  ASSERT_EQ(Ask(*reader_, "RECORDSETOPEN~1~T"), "RECORDSETOPEN~1");
  // Rows of the recordset: the IDs it was opened with, in ID order.
  std::vector<int> opened;
  for (const auto& entry : state_) opened.push_back(entry.first);

  std::string reply;
  std::vector<TableState> states = RunBesideWrites("RECORDSETSORT~1~CITY~1", reply);
  ASSERT_EQ(reply, "RECORDSETSORT~1");
  EXPECT_TRUE(MatchesOneState(states, ReaderIds(), [&](const TableState& s) {
    std::vector<int> ids = opened;
    std::stable_sort(ids.begin(), ids.end(),
                     [&](int a, int b) { return s.at(a).city < s.at(b).city; });
    return ids;
  }));

  // Sorted by CITY: the find sorts by NAME first, then takes the first
  // name beginning with "n2".
  states = RunBesideWrites("RECORDSETFINDROW~1~NAME~n2", reply);
  ASSERT_EQ(reply, "RECORDSETFINDROW~1");
  const std::string found = Ask(*reader_, "RECORDSETGETFIELDVALUE~1~ID");
  EXPECT_TRUE(MatchesOneState(states, found, [&](const TableState& s) {
    std::string best;
    int best_id = 0;
    for (const int id : opened) {
      const std::string& name = s.at(id).name;
      if (name.rfind("n2", 0) == 0 && (best.empty() || name < best)) {
        best = name;
        best_id = id;
      }
    }
    return "RECORDSETGETFIELDVALUE~1~" + std::to_string(best_id);
  })) << found;

  states = RunBesideWrites("RECORDSETFILTERON~1~CITY~c2", reply);
  ASSERT_EQ(reply, "RECORDSETFILTERON~1");
  const std::string count = Ask(*reader_, "RECORDSETGETFILTEREDCOUNT~1");
  EXPECT_TRUE(MatchesOneState(states, count, [&](const TableState& s) {
    size_t n = 0;
    for (const int id : opened) n += s.at(id).city == "c2";
    return "RECORDSETGETFILTEREDCOUNT~1~" + std::to_string(n);
  })) << count;
}

// A bystander is answered while a long request runs: its reply comes while
// the long one is still unanswered (counted, not timed: with one step a
// slice the sort has thousands of slices to go).
TEST_F(SlicedRequestsTest, ABystanderIsAnsweredBetweenSlices) {
  ASSERT_EQ(Ask(*reader_, "RECORDSETOPEN~1~T"), "RECORDSETOPEN~1");
  ASSERT_EQ(Ask(*writer_, "RECORDSETOPEN~2~T"), "RECORDSETOPEN~2");
  StartLongRequest("RECORDSETSORT~1~NAME~0");
  EXPECT_EQ(Ask(*writer_, "STARTTRANSACTION"), "STARTTRANSACTION");
  EXPECT_EQ(Ask(*writer_, "RECORDSETGETFIELDCOUNT~2"), "RECORDSETGETFIELDCOUNT~2~3");  // a read
  std::string reply;
  EXPECT_FALSE(reader_->ReceiveText(reply, 0).ok()) << "the sort ended before the bystander";
  ASSERT_TRUE(reader_->ReceiveText(reply, kReplyTimeoutMs).ok());
  EXPECT_EQ(reply, "RECORDSETSORT~1");
}

// A long UPDATE is seen whole or not at all: a request that reads the table
// while it is written waits for its end (a ping does not), and a client
// that leaves in the middle leaves nothing of it.
TEST_F(SlicedRequestsTest, ALongUpdateIsSeenWholeOrNotAtAll) {
  ASSERT_EQ(Ask(*reader_, "RECORDSETOPEN~1~T"), "RECORDSETOPEN~1");
  ASSERT_EQ(Ask(*reader_, "RECORDSETDELETEALL~1"), "RECORDSETDELETEALL~1");
  StartLongRequest("RECORDSETUPDATE~1");
  EXPECT_EQ(Ask(*writer_, "STARTTRANSACTION"), "STARTTRANSACTION");
  std::string reply;
  EXPECT_FALSE(reader_->ReceiveText(reply, 0).ok()) << "the update ended before the ping";
  ASSERT_TRUE(writer_->SendFrame("RECORDSETOPEN~2~T").ok());
  ASSERT_TRUE(reader_->ReceiveText(reply, kReplyTimeoutMs).ok());
  EXPECT_EQ(reply, "RECORDSETUPDATE~1");
  ASSERT_TRUE(writer_->ReceiveText(reply, kReplyTimeoutMs).ok());
  EXPECT_EQ(reply, "RECORDSETOPEN~2");
  EXPECT_EQ(Ask(*writer_, "RECORDSETGETROWCOUNT~2"), "RECORDSETGETROWCOUNT~2~0");
}

TEST_F(SlicedRequestsTest, ALongUpdateWhoseClientLeavesLeavesNothing) {
  ASSERT_EQ(Ask(*reader_, "RECORDSETOPEN~1~T"), "RECORDSETOPEN~1");
  ASSERT_EQ(Ask(*reader_, "RECORDSETDELETEALL~1"), "RECORDSETDELETEALL~1");
  StartLongRequest("RECORDSETUPDATE~1");
  reader_->Abort();
  EXPECT_EQ(Ask(*writer_, "RECORDSETOPEN~2~T"), "RECORDSETOPEN~2");
  const std::string count = Ask(*writer_, "RECORDSETGETROWCOUNT~2");
  // Either the update was written whole before the client left, or none
  // of it was.
  EXPECT_TRUE(count == "RECORDSETGETROWCOUNT~2~0" ||
              count == "RECORDSETGETROWCOUNT~2~" + std::to_string(kRows))
      << count;
  // The server still writes: the next change is made and stays.
  EXPECT_EQ(Ask(*writer_, "RECORDSETADDROW~2"), "RECORDSETADDROW~2");
  EXPECT_EQ(Ask(*writer_, "RECORDSETSETFIELDVALUE~2~ID~99999"), "RECORDSETSETFIELDVALUE~2");
  EXPECT_EQ(Ask(*writer_, "RECORDSETSETFIELDVALUE~2~NAME~late"), "RECORDSETSETFIELDVALUE~2");
  EXPECT_EQ(Ask(*writer_, "RECORDSETUPDATE~2"), "RECORDSETUPDATE~2");
}

}  // namespace
}  // namespace zt::testing
