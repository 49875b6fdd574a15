// AllowList: the networks ([SERVER] AllowFrom) whose clients may connect.
//
// A network is an IPv4 or IPv6 address with a prefix length in CIDR form
// ("10.0.0.0/8", "2001:db8::/32"); an address without a prefix is the one
// host. An IPv4 peer also matches an IPv6 network through its mapped form
// (::ffff:a.b.c.d), so "::ffff:10.0.0.0/104" and "10.0.0.0/8" say the same.
// An empty list allows everyone.
#ifndef ZT_NET_ALLOW_LIST_H_
#define ZT_NET_ALLOW_LIST_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

class AllowList {
 public:
  // Reads a list of networks separated by commas or blanks. On a bad entry
  // it returns false with the entry in *bad and leaves the list as it was.
  [[nodiscard]] bool Parse(std::string_view text, std::string* bad);
  // Lets nobody in (a list that could not be read must not mean everyone).
  void DenyAll() {
    networks_.clear();
    deny_all_ = true;
  }
  // Whether a peer (its address as text, IPv4 dotted or IPv6) may connect.
  // An address that cannot be read is refused unless the list is empty.
  bool Allows(const std::string& peer) const;

 private:
  // Addresses are kept in the 16-byte IPv6 form; IPv4 ones mapped.
  struct Network {
    std::array<uint8_t, 16> address{};
    int prefix = 0;  // leading bits that must match, 0..128
  };
  std::vector<Network> networks_;
  bool deny_all_ = false;
};

}  // namespace zt

#endif  // ZT_NET_ALLOW_LIST_H_
