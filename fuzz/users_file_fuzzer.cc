// (f) The users file as the server reads it at start-up and on SIGHUP:
// any bytes either parse or are refused with a line number, never crash;
// what parses writes back as text that parses to the same users (so
// `ztadmin user` never turns a file it accepted into one the server
// refuses).
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/users_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  zt::UsersFile users;
  std::string why;
  if (!users.Parse(text, &why)) {
    if (why.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  const std::string written = users.Text();
  zt::UsersFile again;
  if (!again.Parse(written, &why) || again.Text() != written) std::abort();
  return 0;
}
