// ztadmin user add|remove|list|passwd FILE: the server's users file
// (config/users_file.h describes its format).
#ifndef ZTADMIN_USERS_H_
#define ZTADMIN_USERS_H_

#include <iosfwd>
#include <span>
#include <string>

namespace zt::admin {

// args: SUBCOMMAND FILE [NAME] [--access A] [--iterations N]. A password is
// read from in (its first line); prompt, when set, asks for it on the
// terminal instead (twice, without echo). Exit status 0, 1 or 2 (usage).
int UserCommand(std::span<const std::string> args, std::istream& in, std::ostream& out,
                std::ostream& err, std::string (*prompt)(const char* question));

// Why a password cannot be sent in AUTHENTICATE (empty: it can): the
// protocol splits fields at '~' and trims their blanks.
std::string PasswordProblem(const std::string& password);

}  // namespace zt::admin

#endif  // ZTADMIN_USERS_H_
