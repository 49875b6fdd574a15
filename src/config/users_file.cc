#include "config/users_file.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <charconv>

#include "engine/file.h"

namespace zt {
namespace {

constexpr size_t kFields = 6;
constexpr char kHexDigits[] = "0123456789abcdef";

template <size_t N>
std::string ToHex(const std::array<uint8_t, N>& bytes) {
  std::string text;
  text.reserve(2 * N);
  for (const uint8_t b : bytes) {
    text += kHexDigits[b >> 4];
    text += kHexDigits[b & 15];
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

template <size_t N>
bool FromHex(std::string_view text, std::array<uint8_t, N>& bytes) {
  if (text.size() != 2 * N) return false;
  for (size_t i = 0; i < N; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

// One line's fields; false unless there are exactly kFields.
bool SplitLine(std::string_view line, std::array<std::string_view, kFields>& fields) {
  size_t count = 0;
  for (;;) {
    const size_t colon = line.find(':');
    if (count == kFields) return false;
    fields[count++] = line.substr(0, colon);
    if (colon == std::string_view::npos) break;
    line.remove_prefix(colon + 1);
  }
  return count == kFields;
}

bool ParseEntry(std::string_view line, UserEntry& entry, std::string& why) {
  std::array<std::string_view, kFields> f;
  if (!SplitLine(line, f)) {
    why = "not six fields separated by ':'";
    return false;
  }
  if (!ValidUserName(f[0])) {
    why = "the user name is empty, too long or holds a character other than A-Z a-z 0-9 . _ @ -";
    return false;
  }
  entry.name = std::string(f[0]);
  if (!ParseUserAccess(f[1], entry.access)) {
    why = "the access is not readwrite, readonly or readlock";
    return false;
  }
  if (f[2] != kHashScheme) {
    why = "the scheme is not " + std::string(kHashScheme);
    return false;
  }
  uint32_t iterations = 0;
  const auto [end, error] = std::from_chars(f[3].data(), f[3].data() + f[3].size(), iterations);
  if (error != std::errc() || end != f[3].data() + f[3].size() || iterations < kMinIterations ||
      iterations > kMaxIterations) {
    why = "the iteration count is not a number from " + std::to_string(kMinIterations) + " to " +
          std::to_string(kMaxIterations);
    return false;
  }
  entry.iterations = iterations;
  if (!FromHex(f[4], entry.salt) || !FromHex(f[5], entry.hash)) {
    why = "the salt or the hash is not lowercase hexadecimal of the right length";
    return false;
  }
  return true;
}

}  // namespace

const char* UserAccessName(UserAccess access) {
  switch (access) {
    case UserAccess::kReadWrite:
      return "readwrite";
    case UserAccess::kReadOnly:
      return "readonly";
    case UserAccess::kReadLock:
      return "readlock";
  }
  return "readonly";
}

bool ParseUserAccess(std::string_view text, UserAccess& access) {
  for (const UserAccess a : {UserAccess::kReadWrite, UserAccess::kReadOnly, UserAccess::kReadLock}) {
    if (text == UserAccessName(a)) {
      access = a;
      return true;
    }
  }
  return false;
}

bool ValidUserName(std::string_view name) {
  if (name.empty() || name.size() > kMaxUserNameLength) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '@' || c == '-';
  });
}

bool HashPassword(std::string_view password, const uint8_t* salt, size_t salt_size,
                  uint32_t iterations, std::array<uint8_t, kHashBytes>& hash) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                           static_cast<int>(salt_size), static_cast<int>(iterations), EVP_sha256(),
                           static_cast<int>(hash.size()), hash.data()) == 1;
}

bool MakeUserEntry(std::string_view name, UserAccess access, std::string_view password,
                   uint32_t iterations, UserEntry& entry) {
  entry.name = std::string(name);
  entry.access = access;
  entry.iterations = iterations;
  if (RAND_bytes(entry.salt.data(), static_cast<int>(entry.salt.size())) != 1) return false;
  return HashPassword(password, entry.salt.data(), entry.salt.size(), iterations, entry.hash);
}

bool CheckPassword(const UserEntry& entry, std::string_view password) {
  if (password.size() > kMaxPasswordLength) return false;
  std::array<uint8_t, kHashBytes> hash{};
  if (!HashPassword(password, entry.salt.data(), entry.salt.size(), entry.iterations, hash)) {
    return false;
  }
  return CRYPTO_memcmp(hash.data(), entry.hash.data(), hash.size()) == 0;
}

bool UsersFile::Parse(std::string_view text, std::string* why) {
  std::vector<UserEntry> users;
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    UserEntry entry;
    std::string problem;
    if (!ParseEntry(line, entry, problem)) {
      if (why) *why = "line " + std::to_string(number) + ": " + problem;
      return false;
    }
    const std::string name = entry.name;
    if (std::any_of(users.begin(), users.end(), [&](const UserEntry& u) { return u.name == name; })) {
      if (why) *why = "line " + std::to_string(number) + ": user " + name + " appears twice";
      return false;
    }
    users.push_back(std::move(entry));
  }
  users_ = std::move(users);
  return true;
}

std::string UsersFile::Text() const {
  std::string text = "# ztserver users: NAME:ACCESS:SCHEME:ITERATIONS:SALT:HASH (ztadmin user)\n";
  for (const UserEntry& u : users_) {
    text += u.name + ":" + UserAccessName(u.access) + ":" + kHashScheme + ":" +
            std::to_string(u.iterations) + ":" + ToHex(u.salt) + ":" + ToHex(u.hash) + "\n";
  }
  return text;
}

bool UsersFile::Load(const std::string& path, bool require_private, std::string* why) {
  const int mode = PathPermissions(path);
  if (mode < 0) {
    if (why) *why = path + ": " + LastFileError();
    return false;
  }
  if (require_private && (mode & 077) != 0) {
    char octal[16];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    if (why) {
      *why = path + " may be read or written by others (mode " + octal +
             "); make it private: chmod 600 " + path;
    }
    return false;
  }
  std::string text;
  if (!ReadWholeFile(path, text)) {
    if (why) *why = path + ": " + LastFileError();
    return false;
  }
  std::string problem;
  if (!Parse(text, &problem)) {
    if (why) *why = path + ": " + problem;
    return false;
  }
  return true;
}

bool UsersFile::Save(const std::string& path, std::string* why) const {
  if (ReplaceFileContent(path, Text(), 0600)) return true;
  if (why) *why = path + ": " + LastFileError();
  return false;
}

const UserEntry* UsersFile::Find(std::string_view name) const {
  for (const UserEntry& u : users_) {
    if (u.name == name) return &u;
  }
  return nullptr;
}

void UsersFile::Put(UserEntry entry) {
  for (UserEntry& u : users_) {
    if (u.name == entry.name) {
      u = std::move(entry);
      return;
    }
  }
  users_.push_back(std::move(entry));
}

bool UsersFile::Remove(std::string_view name) {
  const auto it =
      std::find_if(users_.begin(), users_.end(), [&](const UserEntry& u) { return u.name == name; });
  if (it == users_.end()) return false;
  users_.erase(it);
  return true;
}

}  // namespace zt
