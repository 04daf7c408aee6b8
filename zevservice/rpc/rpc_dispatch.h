// The method registry and the steps both RPC transports share: parsing the
// call envelope, dispatching to the registered executor, and turning the
// call's outcome into the "exr" flag and an exception response.
#ifndef ZEV_RPC_RPC_DISPATCH_H_
#define ZEV_RPC_RPC_DISPATCH_H_

#include <cstdint>
#include <exception>
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

// Base of the executors: one object per method, with static storage duration.
// The registry does not own them.
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

// Stores `executor` under lower-case(server_id + "." + method_name). Throws
// EZEVRPC 30002 when the key is taken. Called during static initialisation.
void registerMethod(const std::string& server_id, const std::string& method_name,
                    CZEVBaseRPCExecute* executor);

// Runs the executor registered for the descriptor's serverId and methodCode
// (compared without regard to ASCII case). Throws EZEVRPC 30001, naming the
// ids as sent, when there is none; executor exceptions pass through. Safe to
// call from any thread once static initialisation is over.
void dispatchCall(const CZEVComponentDescriptor& descriptor, const std::string& request,
                  std::string& response);

// The executor registered under the ids (any letter case), or null.
CZEVBaseRPCExecute* findMethod(const std::string& server_id, const std::string& method_name);

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
bool executeCall(const CZEVComponentDescriptor& descriptor, const std::string& request,
                 std::string* payload);

// The whole shared step for a decoded body: parse, then executeCall. A body
// that fails to parse answers exr 1 with code 20005 and
// `parse_failure_message`, or the failure text itself when that is empty.
// Returns the exr flag; *failure_text receives the parse failure text (empty
// when parsing succeeded) so that the transport can log it.
bool processCommandData(const std::string& body, const std::string& parse_failure_message,
                        std::string* payload, std::string* failure_text);

#endif  // ZEV_RPC_RPC_DISPATCH_H_
