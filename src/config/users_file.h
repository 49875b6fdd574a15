// The users file ([SERVER] UsersFile): who may authenticate, with what
// password, and what each user may do. The server reads it at start-up and
// on SIGHUP; `ztadmin user add|remove|list|passwd FILE` writes it.
//
// Format: text, one line per user, lines beginning with '#' and blank lines
// ignored. A line is six fields separated by ':' (no field may hold one):
//
//   FIELD  CONTENT
//   1      user name: 1..kMaxUserNameLength bytes of [A-Za-z0-9._@-]
//   2      access: readwrite | readonly | readlock (see UserAccess)
//   3      scheme: "pbkdf2-sha256", the only one
//   4      iterations: decimal, kMinIterations..kMaxIterations
//   5      salt: kSaltBytes bytes as lowercase hexadecimal
//   6      hash: kHashBytes bytes as lowercase hexadecimal, PBKDF2-HMAC-SHA256
//          of the password with that salt and iteration count
//
// For example:
//   alice:readwrite:pbkdf2-sha256:60000:9f...(32 hex):c1...(64 hex)
//
// No password is ever stored, only its salted, slow hash. The file holds
// what an attacker needs to guess passwords offline, so the server refuses
// a file that its group or others may read or write (mode & 077), and
// ztadmin writes it with mode 0600.
#ifndef ZT_CONFIG_USERS_FILE_H_
#define ZT_CONFIG_USERS_FILE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

inline constexpr size_t kMaxUserNameLength = 64;
// A password is sent inside one request (at most 4091 bytes with the
// command and the name); this bound keeps hashing it cheap to reason about.
inline constexpr size_t kMaxPasswordLength = 1024;
inline constexpr size_t kSaltBytes = 16;
inline constexpr size_t kHashBytes = 32;  // SHA-256's output: one PBKDF2 block
inline constexpr uint32_t kMinIterations = 1000;
inline constexpr uint32_t kMaxIterations = 10000000;
// New hashes: about 15 ms on this project's build machines. The server hashes on its one
// thread, so this is what a wrong password costs every other client (the
// per-address delay of failed attempts bounds how often that may happen).
inline constexpr uint32_t kDefaultIterations = 20000;
inline constexpr char kHashScheme[] = "pbkdf2-sha256";

// What a user may do. Every level may read; the level decides the commands
// that change what others see (the command table's Access of each).
enum class UserAccess : uint8_t {
  kReadWrite,  // every command
  kReadOnly,   // no change of stored data (kEdit, kWrite) and no row lock taken
  kReadLock,   // as kReadOnly, but may take row locks (to keep a writer off a
               // row while reading it, say)
};
const char* UserAccessName(UserAccess access);
bool ParseUserAccess(std::string_view text, UserAccess& access);

struct UserEntry {
  std::string name;
  UserAccess access = UserAccess::kReadWrite;
  uint32_t iterations = kDefaultIterations;
  std::array<uint8_t, kSaltBytes> salt{};
  std::array<uint8_t, kHashBytes> hash{};
};

// Whether name is a valid user name (field 1's rule).
bool ValidUserName(std::string_view name);

// PBKDF2-HMAC-SHA256 of password into hash. False only when the library
// fails.
[[nodiscard]] bool HashPassword(std::string_view password, const uint8_t* salt, size_t salt_size,
                                uint32_t iterations, std::array<uint8_t, kHashBytes>& hash);

// A new entry for name with a fresh random salt; false when the random
// source or the hash fails.
[[nodiscard]] bool MakeUserEntry(std::string_view name, UserAccess access, std::string_view password,
                                 uint32_t iterations, UserEntry& entry);

// Whether password is entry's, comparing the hashes in constant time.
bool CheckPassword(const UserEntry& entry, std::string_view password);

class UsersFile {
 public:
  // Parses the text; false with *why naming the first bad line (1-based).
  bool Parse(std::string_view text, std::string* why);
  // The file's text, in the format above (a comment line, then the users).
  std::string Text() const;

  // Reads path; false with *why when it cannot be read, is not private
  // (require_private: mode & 077 must be 0) or does not parse.
  bool Load(const std::string& path, bool require_private, std::string* why);
  // Writes path atomically with mode 0600; false with *why.
  bool Save(const std::string& path, std::string* why) const;

  const UserEntry* Find(std::string_view name) const;
  // Adds or replaces the entry of that name.
  void Put(UserEntry entry);
  bool Remove(std::string_view name);
  const std::vector<UserEntry>& users() const { return users_; }

 private:
  std::vector<UserEntry> users_;  // in the file's order
};

}  // namespace zt

#endif  // ZT_CONFIG_USERS_FILE_H_
