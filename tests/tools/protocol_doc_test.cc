// Every example exchange of docs/protocol.md against the real server, so the
// document cannot drift from what the server does.
//
// An example is a fenced block whose info string is "exchange": lines
// "A> request" send a request on client A's connection (A, B, ...; a bare
// "> " is A), lines "A< reply" are the reply it must get next, "A< (none)"
// says none comes. Each block runs against a fresh copy of the demo
// database (examples/), so blocks do not depend on each other.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/server_process.h"

namespace zt::testing {
namespace {

struct Step {
  char client;
  bool request;  // false: an expected reply
  std::string text;
  int line;
};

struct Example {
  int line;  // of the opening fence
  std::vector<Step> steps;
};

std::vector<Example> ReadExamples(const std::string& markdown) {
  std::vector<Example> examples;
  std::istringstream in(markdown);
  std::string text;
  int number = 0;
  bool inside = false;
  while (std::getline(in, text)) {
    ++number;
    if (!inside && text == "```exchange") {
      inside = true;
      examples.push_back({number, {}});
      continue;
    }
    if (inside && text == "```") {
      inside = false;
      continue;
    }
    if (!inside || text.empty()) continue;
    char client = 'A';
    size_t at = 0;
    if (text[0] >= 'A' && text[0] <= 'Z') {
      client = text[0];
      at = 1;
    }
    if (text.size() < at + 2 || (text[at] != '>' && text[at] != '<') || text[at + 1] != ' ') {
      ADD_FAILURE() << "docs/protocol.md:" << number << ": not an exchange line: " << text;
      continue;
    }
    examples.back().steps.push_back({client, text[at] == '>', text.substr(at + 2), number});
  }
  return examples;
}

std::string Csv(const std::string& name) {
  return ReadFile(std::string(ZT_SOURCE_DIR) + "/examples/" + name + ".csv");
}

TEST(ProtocolDocument, EveryExampleExchangeHolds) {
  const std::vector<Example> examples =
      ReadExamples(ReadFile(std::string(ZT_SOURCE_DIR) + "/docs/protocol.md"));
  ASSERT_FALSE(examples.empty());
  const std::string schema = ReadFile(std::string(ZT_SOURCE_DIR) + "/examples/demo.schema");
  for (const Example& example : examples) {
    SCOPED_TRACE("docs/protocol.md:" + std::to_string(example.line));
    ServerFixture fixture(/*with_database=*/false);
    std::string out;
    ASSERT_TRUE(MakeLoadedDatabase(fixture.folder(), "db", schema,
                                   {{"Customers", Csv("customers")},
                                    {"Products", Csv("products")},
                                    {"Orders", Csv("orders")}},
                                   &out))
        << out;
    ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
    std::map<char, std::unique_ptr<Client>> clients;
    for (const Step& step : example.steps) {
      std::unique_ptr<Client>& client = clients[step.client];
      if (!client) client = fixture.Connect();
      ASSERT_NE(client, nullptr);
      if (step.request) {
        ASSERT_TRUE(client->SendFrame(step.text)) << "line " << step.line;
        continue;
      }
      std::string reply;
      if (step.text == "(none)") {
        EXPECT_FALSE(client->ReceiveText(reply, 300)) << "line " << step.line << ": " << reply;
        continue;
      }
      if (!client->ReceiveText(reply, kReplyTimeoutMs)) reply = "(none)";
      EXPECT_EQ(reply, step.text) << "line " << step.line;
    }
  }
}

}  // namespace
}  // namespace zt::testing
