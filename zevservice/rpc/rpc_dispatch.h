// The method registry and the steps both RPC transports share: parsing the
// call envelope, dispatching to the registered executor, and turning the
// call's outcome into the "exr" flag and an exception response.
#ifndef ZEV_RPC_RPC_DISPATCH_H_
#define ZEV_RPC_RPC_DISPATCH_H_

#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/annotated_mutex.h"
#include "common/zevclasses/ZEVRPCDefine.pb.h"

namespace zev {

// Framework error codes (they stay inside the service; transports answer
// "20003" with the message).
constexpr int32_t kRPCErrorNoMethod = 30001;
constexpr int32_t kRPCErrorDuplicate = 30002;
constexpr int32_t kRPCErrorRefused = 30003;

// Codes of CZEVRPCExceptionResponse.
extern const char kRPCCodeUnknown[];      // "20000"
extern const char kRPCCodeException[];    // "20003"
extern const char kRPCCodeParseFailed[];  // "20005"
extern const char kRPCUnknownErrorText[];  // "unkonwn error"

class EZEVException : public std::exception {
 public:
  EZEVException(int32_t code, std::string message) : code_(code), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  int32_t code() const { return code_; }

 private:
  int32_t code_;
  std::string message_;
};

class EZEVRPC : public EZEVException {
 public:
  using EZEVException::EZEVException;
};

// Whether process `pid` belongs to the process group of component `id` as
// this service runs it. Handed down by the component manager.
using ComponentPeerCheck = std::function<bool(pid_t pid, const std::string& id)>;
// The processes of the hosts that run this service's components now.
using ComponentHostsSource = std::function<std::vector<pid_t>()>;

// Who made a call, as the transport that brought it learned from the kernel.
// One call, one thread: not shared.
struct RpcCaller {
  enum class Via { kInProcess, kSocket, kHttp };
  Via via = Via::kInProcess;
  // The calling process's uid; unset while unknown.
  mutable std::optional<uid_t> uid;
  // Asked once, on first need, when `uid` is unset (over HTTP a look-up in
  // the kernel's socket diagnostics), so that calls that never ask pay
  // nothing for it.
  mutable std::function<std::optional<uid_t>()> find_uid;
  // The process that connected (the socket's peer credentials); 0: unknown.
  pid_t pid = 0;
  // The peer's address, for log lines (HTTP).
  std::string peer;
  // The request carried an Origin header: a web page sent it.
  bool from_web_page = false;
  std::string origin;
  // May be empty: no process counts as a component's own.
  ComponentPeerCheck component_check;
  // May be empty: no caller's registrations are tied to a component group.
  ComponentHostsSource component_hosts;

  // The uid, looked up when needed; unset when it cannot be known.
  std::optional<uid_t> Uid() const;
  // In-process calls, and callers running as root or as the service's own
  // user.
  bool Privileged() const;
  // "uid 1001, pid 4711, over the socket", for log lines.
  std::string Describe() const;
};

// The caller of calls made inside the service (no transport).
const RpcCaller& InProcessCaller();
// Whether `uid` is root or the user the service runs as.
bool IsPrivilegedUid(uid_t uid);

// Base of the executors: one object per method, owned by the registry it was
// registered in.
class CZEVBaseRPCExecute {
 public:
  virtual ~CZEVBaseRPCExecute() = default;
  virtual std::string getServerId() const = 0;
  virtual std::string getMethodName() const = 0;
  // The binary call: request and response are serialised messages.
  virtual void execute(const CZEVComponentDescriptor& descriptor, const std::string& request,
                       std::string& response) = 0;
  // The same call made by `caller`; executors that look at who calls
  // override it.
  virtual void executeFor(const RpcCaller& /*caller*/, const CZEVComponentDescriptor& descriptor,
                          const std::string& request, std::string& response) {
    execute(descriptor, request, response);
  }
  // Whether this call (`request` serialised) is quick: it never blocks and
  // is answered within microseconds, so that a transport may run it on its
  // event loop rather than hand it to a worker thread. False unless the
  // method says otherwise.
  virtual bool isQuick(const std::string& /*request*/) const { return false; }
  // The same call with protobuf JSON text in and out.
  virtual void executeJson(const CZEVComponentDescriptor& descriptor,
                           const std::string& request_json, std::string& response_json) = 0;
};

// Whether a method only reads or changes what the service keeps. Methods
// that change it are never served to web pages.
enum class MethodEffect { kReads, kChangesState };

// The methods a transport can reach, each stored under
// lower-case(server id + "." + method name). Modules register theirs through
// a function of their own (RegisterEchoMethods, ...) that the service calls
// before its transports start; lookups may then run on any thread, also
// while further methods are registered.
class CZEVMethodRegistry {
 public:
  CZEVMethodRegistry() = default;
  CZEVMethodRegistry(const CZEVMethodRegistry&) = delete;
  CZEVMethodRegistry& operator=(const CZEVMethodRegistry&) = delete;

  // Takes the executor and stores it under its ids. False for a null
  // executor, and when the key is taken: the duplicate is dropped and the
  // 30002 message is logged.
  bool registerMethod(std::unique_ptr<CZEVBaseRPCExecute> executor, MethodEffect effect = MethodEffect::kReads);
  // Runs the executor registered for the descriptor's serverId and
  // methodCode (compared without regard to ASCII case) for `caller`. Throws
  // EZEVRPC 30001, naming the ids as sent, when there is none, and 30003
  // (logged) for a method that changes state called from a web page;
  // executor exceptions pass through.
  void dispatchCall(const CZEVComponentDescriptor& descriptor, const std::string& request,
                    std::string& response, const RpcCaller& caller = InProcessCaller()) const;
  // Whether the call is quick (CZEVBaseRPCExecute::isQuick). A call of no
  // registered method is: its answer is the 30001 exception response.
  bool isQuick(const CZEVComponentDescriptor& descriptor, const std::string& request) const;
  // Whether the method registered under the ids changes state (false when
  // there is none).
  bool changesState(const std::string& server_id, const std::string& method_name) const;
  // The executor registered under the ids (any letter case), or null. It
  // lives as long as the registry.
  CZEVBaseRPCExecute* findMethod(const std::string& server_id, const std::string& method_name) const;
  size_t size() const;

 private:
  struct Entry {
    std::unique_ptr<CZEVBaseRPCExecute> executor;
    MethodEffect effect;
  };
  const Entry* FindLocked(const std::string& server_id, const std::string& method_name) const REQUIRES(mu_);

  // Held only for a look-up or an insertion, never while a method runs.
  mutable Mutex mu_;
  std::map<std::string, Entry> methods_ GUARDED_BY(mu_);
};

// Throws EZEVRPC with `code` and the printf-formatted message, cut at 999
// bytes (never inside a UTF-8 character).
[[noreturn]] void raiseRPCError(int32_t code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Parses a decoded request body. On success fills `descriptor` and `request`
// and returns true; otherwise returns false with the failure text in *error:
//   "[ERROR]:CommandData parse Error"
//   "[ERROR]:ComponentDescriptor ParseFromArray return false"
//   "[ERROR]:Serverid in ComponentDescriptor is empty"
//   "[ERROR]:Methodcode in ComponentDescriptor is empty"
bool parseCommandData(const std::string& body, CZEVComponentDescriptor* descriptor,
                      std::string* request, std::string* error);

// A serialised CZEVRPCExceptionResponse with the given fields. Texts that are
// not valid UTF-8 have their ill-formed bytes replaced by U+FFFD, since a
// string field must hold UTF-8 for clients to parse the reply.
std::string buildExceptionResponse(const std::string& message, const std::string& code,
                                   const std::string& class_name = std::string(),
                                   const std::string& except_call_stack = std::string(),
                                   const std::string& data = std::string(),
                                   const std::string& cause = std::string());

// Runs dispatchCall and maps its outcome: returns false ("exr" 0) with the
// response bytes in *payload, or true ("exr" 1) with an exception response
// (code 20003 with what() for a standard exception, 20000 for anything else).
bool executeCall(const CZEVMethodRegistry& methods, const CZEVComponentDescriptor& descriptor,
                 const std::string& request, std::string* payload);

// executeCall telling how the call ended; *failure_text (when given) gets
// what() or "unkonwn error" for a failed call.
enum class CallOutcome { kAnswered, kStdException, kOtherException };
CallOutcome executeCallOutcome(const CZEVMethodRegistry& methods, const CZEVComponentDescriptor& descriptor,
                               const std::string& request, std::string* payload, std::string* failure_text,
                               const RpcCaller& caller = InProcessCaller());

// The whole shared step for a decoded body: parse, then executeCall. A body
// that fails to parse answers exr 1 with code 20005 and
// `parse_failure_message`, or the failure text itself when that is empty.
// Returns the exr flag; *failure_text receives the parse failure text (empty
// when parsing succeeded) so that the transport can log it.
bool processCommandData(const CZEVMethodRegistry& methods, const std::string& body,
                        const std::string& parse_failure_message, std::string* payload,
                        std::string* failure_text);

}  // namespace zev

#endif  // ZEV_RPC_RPC_DISPATCH_H_
