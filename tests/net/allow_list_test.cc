#include "net/allow_list.h"

#include <gtest/gtest.h>

#include <string>

namespace zt {
namespace {

struct AllowCase {
  const char* list;
  const char* peer;
  bool allowed;
};

TEST(AllowList, MatchesPeersAgainstEveryNetwork) {
  const AllowCase cases[] = {
      {"", "203.0.113.9", true},  // empty: everyone
      {"127.0.0.0/8", "127.0.0.1", true},
      {"127.0.0.0/8", "128.0.0.1", false},
      {"10.1.2.3", "10.1.2.3", true},  // no prefix: the one host
      {"10.1.2.3", "10.1.2.4", false},
      {"192.168.0.0/23", "192.168.1.200", true},  // a prefix inside a byte
      {"192.168.0.0/23", "192.168.2.1", false},
      {"0.0.0.0/0", "8.8.8.8", true},
      {"10.0.0.0/8, 172.16.0.0/12 192.168.0.0/16", "172.31.255.255", true},
      {"10.0.0.0/8,172.16.0.0/12", "172.32.0.1", false},
      {"2001:db8::/32", "2001:db8:1::7", true},
      {"2001:db8::/32", "2001:db9::1", false},
      {"::ffff:10.0.0.0/104", "10.20.30.40", true},  // an IPv4 peer, mapped
      {"::1", "127.0.0.1", false},
      {"127.0.0.0/8", "", false},  // a peer whose address is unknown
  };
  for (const AllowCase& c : cases) {
    AllowList list;
    ASSERT_TRUE(list.Parse(c.list, nullptr)) << c.list;
    EXPECT_EQ(list.Allows(c.peer), c.allowed) << c.list << " / " << c.peer;
  }
}

TEST(AllowList, ABadEntryIsNamedAndLeavesTheListAsItWas) {
  for (const char* bad : {"10.0.0.0/33", "10.0.0/8", "2001:db8::/129", "host.example", "10.0.0.0/",
                          "10.0.0.0/x", "1.2.3.4/-1"}) {
    AllowList list;
    ASSERT_TRUE(list.Parse("127.0.0.1", nullptr));
    std::string named;
    EXPECT_FALSE(list.Parse(std::string("192.168.0.0/16,") + bad, &named)) << bad;
    EXPECT_EQ(named, bad);
    EXPECT_TRUE(list.Allows("127.0.0.1")) << bad;
    EXPECT_FALSE(list.Allows("192.168.1.1")) << bad;
  }
  AllowList nobody;
  nobody.DenyAll();
  EXPECT_FALSE(nobody.Allows("127.0.0.1"));
}

}  // namespace
}  // namespace zt
