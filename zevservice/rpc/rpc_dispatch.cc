#include "rpc/rpc_dispatch.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>

#include "base/log.h"
#include "platform/text.h"

namespace zev {

const char kRPCCodeUnknown[] = "20000";
const char kRPCCodeException[] = "20003";
const char kRPCCodeParseFailed[] = "20005";
const char kRPCUnknownErrorText[] = "unkonwn error";

namespace {

// "Function %s.%s: signature does not match" and "...: registered twice".
// Sent as UTF-8: a protobuf string field must hold UTF-8.
const char kNoMethodFormat[] = "函数 %s.%s 签名不匹配";
const char kDuplicateFormat[] = "函数 %s.%s 重复注册";

std::string MethodKey(const std::string& server_id, const std::string& method_name) {
  return ToLowerAscii(server_id + "." + method_name);
}

}  // namespace

bool IsPrivilegedUid(uid_t uid) { return uid == 0 || uid == geteuid(); }

const RpcCaller& InProcessCaller() {
  static const RpcCaller* caller = new RpcCaller();  // read by transport threads until exit
  return *caller;
}

std::optional<uid_t> RpcCaller::Uid() const {
  if (!uid && find_uid) {
    uid = find_uid();
    find_uid = nullptr;
  }
  return uid;
}

bool RpcCaller::Privileged() const {
  if (via == Via::kInProcess) return true;
  std::optional<uid_t> known = Uid();
  return known && IsPrivilegedUid(*known);
}

std::string RpcCaller::Describe() const {
  if (via == Via::kInProcess) return "the service itself";
  std::optional<uid_t> known = Uid();
  std::string text = known ? "uid " + std::to_string(*known) : std::string("an unknown user");
  if (pid > 0) text += ", pid " + std::to_string(pid);
  if (!peer.empty()) text += ", from " + peer;
  if (from_web_page) text += ", Origin " + origin;
  return text + (via == Via::kSocket ? ", over the socket" : ", over HTTP");
}

bool CZEVMethodRegistry::registerMethod(std::unique_ptr<CZEVBaseRPCExecute> executor, MethodEffect effect) {
  if (!executor) return false;
  const std::string server_id = executor->getServerId();
  const std::string method_name = executor->getMethodName();
  {
    MutexLock lock(&mu_);
    const std::string key = MethodKey(server_id, method_name);
    if (methods_.count(key) == 0) {
      methods_.emplace(key, Entry{std::move(executor), effect});
      return true;
    }
  }
  LogWrite(kLogError, kDuplicateFormat, server_id.c_str(), method_name.c_str());
  return false;
}

void CZEVMethodRegistry::dispatchCall(const CZEVComponentDescriptor& descriptor, const std::string& request,
                                      std::string& response, const RpcCaller& caller) const {
  CZEVBaseRPCExecute* executor = nullptr;
  bool changes_state = false;
  {
    MutexLock lock(&mu_);
    if (const Entry* entry = FindLocked(descriptor.serverid(), descriptor.methodcode())) {
      executor = entry->executor.get();  // lives as long as the registry
      changes_state = entry->effect == MethodEffect::kChangesState;
    }
  }
  if (executor == nullptr) {
    raiseRPCError(kRPCErrorNoMethod, kNoMethodFormat, descriptor.serverid().c_str(),
                  descriptor.methodcode().c_str());
  }
  if (changes_state && caller.from_web_page) {
    // A page in a browser can send a call it cannot read the answer of; a
    // call that changes state must not be made that way.
    LogWrite(kLogWarning, "Refused %s.%s from a web page (%s): methods that change the service's records are not served to pages.",
             descriptor.serverid().c_str(), descriptor.methodcode().c_str(), caller.Describe().c_str());
    raiseRPCError(kRPCErrorRefused, "%s.%s changes the service's records and is not served to web pages",
                  descriptor.serverid().c_str(), descriptor.methodcode().c_str());
  }
  executor->executeFor(caller, descriptor, request, response);
}

const CZEVMethodRegistry::Entry* CZEVMethodRegistry::FindLocked(const std::string& server_id,
                                                                const std::string& method_name) const {
  auto it = methods_.find(MethodKey(server_id, method_name));
  return it == methods_.end() ? nullptr : &it->second;
}

CZEVBaseRPCExecute* CZEVMethodRegistry::findMethod(const std::string& server_id,
                                                   const std::string& method_name) const {
  MutexLock lock(&mu_);
  const Entry* entry = FindLocked(server_id, method_name);
  return entry == nullptr ? nullptr : entry->executor.get();
}

bool CZEVMethodRegistry::isQuick(const CZEVComponentDescriptor& descriptor, const std::string& request) const {
  const CZEVBaseRPCExecute* executor = findMethod(descriptor.serverid(), descriptor.methodcode());
  return executor == nullptr || executor->isQuick(request);
}

bool CZEVMethodRegistry::changesState(const std::string& server_id, const std::string& method_name) const {
  MutexLock lock(&mu_);
  const Entry* entry = FindLocked(server_id, method_name);
  return entry != nullptr && entry->effect == MethodEffect::kChangesState;
}

size_t CZEVMethodRegistry::size() const {
  MutexLock lock(&mu_);
  return methods_.size();
}

void raiseRPCError(int32_t code, const char* format, ...) {
  char buf[1000];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  std::string message(buf, n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof(buf) - 1));
  if (static_cast<size_t>(n) >= sizeof(buf)) message.resize(Utf8CutLength(message, message.size()));
  throw EZEVRPC(code, message);
}

bool parseCommandData(const std::string& body, CZEVComponentDescriptor* descriptor,
                      std::string* request, std::string* error) {
  CZEVRPCCommandData command;
  if (!command.ParseFromString(body)) {
    *error = "[ERROR]:CommandData parse Error";
    return false;
  }
  command.mutable_request()->swap(*request);  // a large request is not copied
  if (!descriptor->ParseFromString(command.componentdescriptor())) {
    *error = "[ERROR]:ComponentDescriptor ParseFromArray return false";
    return false;
  }
  if (descriptor->serverid().empty()) {
    *error = "[ERROR]:Serverid in ComponentDescriptor is empty";
    return false;
  }
  if (descriptor->methodcode().empty()) {
    *error = "[ERROR]:Methodcode in ComponentDescriptor is empty";
    return false;
  }
  return true;
}

std::string buildExceptionResponse(const std::string& message, const std::string& code,
                                   const std::string& class_name,
                                   const std::string& except_call_stack, const std::string& data,
                                   const std::string& cause) {
  CZEVRPCExceptionResponse response;
  response.set_message(SanitizeUtf8(message));
  response.set_class_(SanitizeUtf8(class_name));
  response.set_code(SanitizeUtf8(code));
  response.set_exceptcallstack(SanitizeUtf8(except_call_stack));
  response.set_data(SanitizeUtf8(data));
  response.set_cause(SanitizeUtf8(cause));
  std::string out;
  response.SerializeToString(&out);
  return out;
}

CallOutcome executeCallOutcome(const CZEVMethodRegistry& methods, const CZEVComponentDescriptor& descriptor,
                               const std::string& request, std::string* payload, std::string* failure_text,
                               const RpcCaller& caller) {
  try {
    std::string response;
    methods.dispatchCall(descriptor, request, response, caller);
    *payload = std::move(response);
    return CallOutcome::kAnswered;
  } catch (const std::exception& e) {
    *payload = buildExceptionResponse(e.what(), kRPCCodeException);
    if (failure_text != nullptr) *failure_text = e.what();
    return CallOutcome::kStdException;
  } catch (...) {
    *payload = buildExceptionResponse(kRPCUnknownErrorText, kRPCCodeUnknown);
    if (failure_text != nullptr) *failure_text = kRPCUnknownErrorText;
    return CallOutcome::kOtherException;
  }
}

bool executeCall(const CZEVMethodRegistry& methods, const CZEVComponentDescriptor& descriptor,
                 const std::string& request, std::string* payload) {
  return executeCallOutcome(methods, descriptor, request, payload, nullptr) != CallOutcome::kAnswered;
}

bool processCommandData(const CZEVMethodRegistry& methods, const std::string& body,
                        const std::string& parse_failure_message, std::string* payload,
                        std::string* failure_text) {
  CZEVComponentDescriptor descriptor;
  std::string request;
  failure_text->clear();
  if (!parseCommandData(body, &descriptor, &request, failure_text)) {
    *payload = buildExceptionResponse(
        parse_failure_message.empty() ? *failure_text : parse_failure_message, kRPCCodeParseFailed);
    return true;
  }
  return executeCall(methods, descriptor, request, payload);
}

}  // namespace zev
