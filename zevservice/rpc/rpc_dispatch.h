// The method registry and the steps both RPC transports share: parsing the
// call envelope, dispatching to the registered executor, and turning the
// call's outcome into the "exr" flag and an exception response.
#ifndef ZEV_RPC_RPC_DISPATCH_H_
#define ZEV_RPC_RPC_DISPATCH_H_

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include "common/zevclasses/ZEVRPCDefine.pb.h"

// Framework error codes (they stay inside the service; transports answer
// "20003" with the message).
constexpr int32_t kRPCErrorNoMethod = 30001;
constexpr int32_t kRPCErrorDuplicate = 30002;

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
  // The same call with protobuf JSON text in and out.
  virtual void executeJson(const CZEVComponentDescriptor& descriptor,
                           const std::string& request_json, std::string& response_json) = 0;
};

// The methods a transport can reach, each stored under
// lower-case(server id + "." + method name). Modules register theirs through
// a function of their own (RegisterEchoMethods, ...) that the service calls
// before its transports start; lookups may then run on any thread, also
// while further methods are registered.
class CZEVMethodRegistry {
 public:
  // The service's registry, created on first use; tests build their own.
  static CZEVMethodRegistry& instance();

  CZEVMethodRegistry() = default;
  CZEVMethodRegistry(const CZEVMethodRegistry&) = delete;
  CZEVMethodRegistry& operator=(const CZEVMethodRegistry&) = delete;

  // Takes the executor and stores it under its ids. False for a null
  // executor, and when the key is taken: the duplicate is dropped and the
  // 30002 message is logged.
  bool registerMethod(std::unique_ptr<CZEVBaseRPCExecute> executor);
  // Runs the executor registered for the descriptor's serverId and
  // methodCode (compared without regard to ASCII case). Throws EZEVRPC 30001,
  // naming the ids as sent, when there is none; executor exceptions pass
  // through.
  void dispatchCall(const CZEVComponentDescriptor& descriptor, const std::string& request,
                    std::string& response) const;
  // The executor registered under the ids (any letter case), or null. It
  // lives as long as the registry.
  CZEVBaseRPCExecute* findMethod(const std::string& server_id, const std::string& method_name) const;
  size_t size() const;

 private:
  mutable std::shared_mutex mu_;
  std::map<std::string, std::unique_ptr<CZEVBaseRPCExecute>> methods_;  // guarded by mu_
};

// dispatchCall on the service's registry.
void dispatchCall(const CZEVComponentDescriptor& descriptor, const std::string& request,
                  std::string& response);

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
                               const std::string& request, std::string* payload, std::string* failure_text);

// The whole shared step for a decoded body: parse, then executeCall. A body
// that fails to parse answers exr 1 with code 20005 and
// `parse_failure_message`, or the failure text itself when that is empty.
// Returns the exr flag; *failure_text receives the parse failure text (empty
// when parsing succeeded) so that the transport can log it.
bool processCommandData(const CZEVMethodRegistry& methods, const std::string& body,
                        const std::string& parse_failure_message, std::string* payload,
                        std::string* failure_text);

#endif  // ZEV_RPC_RPC_DISPATCH_H_
