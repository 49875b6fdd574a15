#include "ztadmin/users.h"

#include <charconv>
#include <istream>
#include <ostream>

#include "config/users_file.h"
#include "engine/file.h"

namespace zt::admin {
namespace {

std::string ReadPassword(std::istream& in, std::string (*prompt)(const char*), std::string& why) {
  if (prompt != nullptr) {
    const std::string first = prompt("Password: ");
    if (prompt("Again: ") != first) {
      why = "the two passwords differ";
      return {};
    }
    return first;
  }
  std::string line;
  if (!std::getline(in, line)) {
    why = "no password on standard input";
    return {};
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::string PasswordProblem(const std::string& password) {
  if (password.empty()) return "the password is empty";
  if (password.size() > kMaxPasswordLength) {
    return "the password is longer than " + std::to_string(kMaxPasswordLength) + " bytes";
  }
  if (password.front() == ' ' || password.back() == ' ') {
    return "the password begins or ends with a blank (the protocol trims them)";
  }
  for (const char c : password) {
    if (c == '~' || c == '\x02' || c == '\x03' || c == '\0' || c == '\n') {
      return "the password holds '~' or a control byte the protocol cannot carry";
    }
  }
  return {};
}

int UserCommand(std::span<const std::string> args, std::istream& in, std::ostream& out,
                std::ostream& err, std::string (*prompt)(const char*)) {
  if (args.size() < 2) {
    err << "ztadmin: user takes add|remove|list|passwd FILE [NAME]\n";
    return 2;
  }
  const std::string& action = args[0];
  const std::string& path = args[1];
  const bool takes_name = action == "add" || action == "remove" || action == "passwd";
  if (!takes_name && action != "list") {
    err << "ztadmin: user: unknown subcommand '" << action << "' (add, remove, list, passwd)\n";
    return 2;
  }
  if (takes_name != (args.size() >= 3)) {
    err << "ztadmin: user " << action << (takes_name ? " takes FILE NAME\n" : " takes FILE\n");
    return 2;
  }
  UserAccess access = UserAccess::kReadWrite;
  bool access_given = false;
  uint32_t iterations = kDefaultIterations;
  for (size_t i = 3; i < args.size(); ++i) {
    const bool has_value = i + 1 < args.size();
    if (args[i] == "--access" && has_value && action == "add" &&
        ParseUserAccess(args[i + 1], access)) {
      access_given = true;
      ++i;
    } else if (args[i] == "--iterations" && has_value && action != "remove") {
      const std::string& v = args[++i];
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), iterations);
      if (ec != std::errc() || end != v.data() + v.size() || iterations < kMinIterations ||
          iterations > kMaxIterations) {
        err << "ztadmin: user: --iterations takes " << kMinIterations << " to " << kMaxIterations
            << "\n";
        return 2;
      }
    } else {
      err << "ztadmin: user " << action << ": unexpected '" << args[i]
          << "' (add takes --access readwrite|readonly|readlock and --iterations N)\n";
      return 2;
    }
  }
  (void)access_given;

  UsersFile users;
  std::string why;
  // add may create the file; everything else needs it. The permission rule
  // is the server's: a file others may read is refused here too.
  if (PathExists(path) || action != "add") {
    if (!users.Load(path, /*require_private=*/true, &why)) {
      err << "ztadmin: user: " << why << "\n";
      return 1;
    }
  }
  if (action == "list") {
    for (const UserEntry& u : users.users()) {
      out << u.name << " " << UserAccessName(u.access) << "\n";
    }
    return 0;
  }
  const std::string& name = args[2];
  if (!ValidUserName(name)) {
    err << "ztadmin: user: '" << name << "' is not a user name (1 to " << kMaxUserNameLength
        << " of A-Z a-z 0-9 . _ @ -)\n";
    return 1;
  }
  const UserEntry* existing = users.Find(name);
  if (action == "remove") {
    if (!users.Remove(name)) {
      err << "ztadmin: user: no user " << name << " in " << path << "\n";
      return 1;
    }
  } else {
    if (action == "add" && existing != nullptr) {
      err << "ztadmin: user: " << name << " exists already (user passwd changes its password)\n";
      return 1;
    }
    if (action == "passwd") {
      if (existing == nullptr) {
        err << "ztadmin: user: no user " << name << " in " << path << "\n";
        return 1;
      }
      access = existing->access;
    }
    const std::string password = ReadPassword(in, prompt, why);
    if (why.empty()) why = PasswordProblem(password);
    if (!why.empty()) {
      err << "ztadmin: user: " << why << "\n";
      return 1;
    }
    UserEntry entry;
    if (!MakeUserEntry(name, access, password, iterations, entry)) {
      err << "ztadmin: user: the random source or the hash failed\n";
      return 1;
    }
    users.Put(std::move(entry));
  }
  if (!users.Save(path, &why)) {
    err << "ztadmin: user: cannot write " << why << "\n";
    return 1;
  }
  out << action << ": " << name << (action == "add" ? std::string(" (") + UserAccessName(access) + ")" : "")
      << "\n";
  return 0;
}

}  // namespace zt::admin
