#include "platform/session.h"

#include <systemd/sd-login.h>

#include <cstdlib>

#include "platform/paths.h"

extern char** environ;

namespace zev {

namespace {

constexpr size_t kExpandLimit = 32767;

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

std::map<std::string, std::string> ParseEnviron(const std::string& block) {
  std::map<std::string, std::string> env;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\0', start);
    if (end == std::string::npos) end = block.size();
    std::string entry = block.substr(start, end - start);
    size_t eq = entry.find('=');
    if (eq != std::string::npos && eq > 0) env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    start = end + 1;
  }
  return env;
}

std::map<std::string, std::string> OwnEnvironment() {
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    if (eq != std::string::npos && eq > 0) env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
  }
  return env;
}

bool Quote(std::string* text) {
  if (!text->empty() && text->find(' ') != std::string::npos) *text = "\"" + *text + "\"";
  return !text->empty();
}

}  // namespace

bool ExpandEnvironment(const std::string& text, const std::map<std::string, std::string>& env,
                       std::string* result) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '%') {
      size_t close = text.find('%', i + 1);
      if (close != std::string::npos && close > i + 1) {
        auto it = env.find(text.substr(i + 1, close - i - 1));
        if (it != env.end()) {
          out += it->second;
          i = close + 1;
          continue;
        }
      }
      out.push_back(c);
      ++i;
    } else if (c == '$' && i + 1 < text.size()) {
      size_t name_start, name_end, next;
      if (text[i + 1] == '{') {
        name_start = i + 2;
        name_end = text.find('}', name_start);
        if (name_end == std::string::npos) {
          out.push_back(c);
          ++i;
          continue;
        }
        next = name_end + 1;
      } else {
        name_start = i + 1;
        name_end = name_start;
        if (name_end < text.size() && IsNameStart(text[name_end])) {
          while (name_end < text.size() && IsNameChar(text[name_end])) ++name_end;
        }
        next = name_end;
      }
      auto it = name_end > name_start ? env.find(text.substr(name_start, name_end - name_start)) : env.end();
      if (it != env.end()) {
        out += it->second;
        i = next;
      } else {
        out.push_back(c);
        ++i;
      }
    } else {
      out.push_back(c);
      ++i;
    }
    if (out.size() > kExpandLimit) return false;
  }
  *result = out;
  return true;
}

bool GetActiveSessionId(std::string* id) {
  char* session = nullptr;
  if (sd_seat_get_active("seat0", &session, nullptr) < 0 || session == nullptr) return false;
  *id = session;
  free(session);
  return true;
}

std::optional<UserToken> GetActiveUserToken() {
  std::string session;
  if (!GetActiveSessionId(&session)) return std::nullopt;
  UserToken token;
  token.session = session;
  if (sd_session_get_uid(session.c_str(), &token.uid) < 0) return std::nullopt;
  // logind records the session's leader in its state file.
  std::string state;
  if (ReadFileToString("/run/systemd/sessions/" + session, &state)) {
    size_t at = state.find("\nLEADER=");
    if (at != std::string::npos) token.leader = static_cast<pid_t>(atoi(state.c_str() + at + 8));
  }
  return token;
}

bool ExpandForUser(const UserToken* token, const std::string& text, std::string* result) {
  if (token != nullptr && token->leader > 0) {
    std::string block;
    if (ReadFileToString("/proc/" + std::to_string(token->leader) + "/environ", &block) &&
        !block.empty()) {
      std::string expanded;
      if (ExpandEnvironment(text, ParseEnviron(block), &expanded) && !expanded.empty()) {
        *result = expanded;
        return Quote(result);
      }
    }
  }
  std::string expanded;
  if (!ExpandEnvironment(text, OwnEnvironment(), &expanded) || expanded.empty()) return false;
  *result = expanded;
  return Quote(result);
}

}  // namespace zev
