#include "net/allow_list.h"

#include <arpa/inet.h>

#include <cstring>

namespace zt {
namespace {

// The 16-byte form of an address text; IPv4 becomes ::ffff:a.b.c.d, and
// *mapped_bits receives 96 for it (so a v4 prefix becomes a v6 one).
bool ReadAddress(const std::string& text, std::array<uint8_t, 16>& out, int* mapped_bits) {
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    out = {};
    out[10] = 0xff;
    out[11] = 0xff;
    std::memcpy(out.data() + 12, &v4, 4);
    *mapped_bits = 96;
    return true;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    std::memcpy(out.data(), &v6, 16);
    *mapped_bits = 0;
    return true;
  }
  return false;
}

bool PrefixMatches(const std::array<uint8_t, 16>& a, const std::array<uint8_t, 16>& b, int bits) {
  const int whole = bits / 8;
  if (std::memcmp(a.data(), b.data(), static_cast<size_t>(whole)) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (a[static_cast<size_t>(whole)] & mask) == (b[static_cast<size_t>(whole)] & mask);
}

}  // namespace

bool AllowList::Parse(std::string_view text, std::string* bad) {
  std::vector<Network> networks;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find_first_of(", \t", at);
    const std::string entry(text.substr(at, end == std::string_view::npos ? end : end - at));
    at = end == std::string_view::npos ? text.size() : end + 1;
    if (entry.empty()) continue;
    const size_t slash = entry.find('/');
    Network network;
    int mapped_bits = 0;
    if (!ReadAddress(entry.substr(0, slash), network.address, &mapped_bits)) {
      if (bad) *bad = entry;
      return false;
    }
    const int width = mapped_bits == 96 ? 32 : 128;
    int prefix = width;
    if (slash != std::string::npos) {
      const std::string digits = entry.substr(slash + 1);
      if (digits.empty() || digits.size() > 3 ||
          digits.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(digits) > width) {
        if (bad) *bad = entry;
        return false;
      }
      prefix = std::stoi(digits);
    }
    network.prefix = prefix + mapped_bits;
    networks.push_back(network);
  }
  networks_ = std::move(networks);
  return true;
}

bool AllowList::Allows(const std::string& peer) const {
  if (deny_all_) return false;
  if (networks_.empty()) return true;
  std::array<uint8_t, 16> address{};
  int mapped_bits = 0;
  if (!ReadAddress(peer, address, &mapped_bits)) return false;
  for (const Network& network : networks_) {
    if (PrefixMatches(address, network.address, network.prefix)) return true;
  }
  return false;
}

}  // namespace zt
