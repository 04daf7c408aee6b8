// The console user and the expansion of environment variables in their name.
// The console user is the owner of the active session of seat0 (logind);
// without logind or an active session there is none.
#ifndef ZEV_PLATFORM_SESSION_H_
#define ZEV_PLATFORM_SESSION_H_

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>

namespace zev {

struct UserToken {
  uid_t uid = 0;
  std::string session;  // logind session id
  pid_t leader = 0;     // the session's leader process, 0 if unknown
};

// The id of the active session on seat0; false when there is none.
bool GetActiveSessionId(std::string* id);
// The console user; empty when there is none.
std::optional<UserToken> GetActiveUserToken();

// Expands %VAR%, $VAR and ${VAR} in `text` from the environment of the
// token's user (the session leader's environment, when it can be read), else
// from this process's environment. Unknown variables stay as written. A
// non-empty result that contains a blank is wrapped in double quotes. False
// when both expansions give nothing or the result exceeds 32767 bytes.
bool ExpandForUser(const UserToken* token, const std::string& text, std::string* result);

// The expansion itself, from a given environment (exposed for tests).
// False when the result would exceed 32767 bytes.
bool ExpandEnvironment(const std::string& text, const std::map<std::string, std::string>& env,
                       std::string* result);

}  // namespace zev

#endif  // ZEV_PLATFORM_SESSION_H_
