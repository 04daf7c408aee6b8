// The road every sealed call takes, whatever transport brought it: open the
// payload envelope with the call's key, parse the call envelope, dispatch to
// the registered method, and seal the answer (or an exception response).
// The transports differ only in the texts they answer and log, which they
// give through CallHooks.
#ifndef ZEV_RPC_CALL_PIPELINE_H_
#define ZEV_RPC_CALL_PIPELINE_H_

#include <functional>
#include <string>

#include "base/byte_budget.h"
#include "rpc/rpc_dispatch.h"

namespace zev {

// Where a call failed.
enum class CallFailure {
  kNone,
  kOpen,     // the envelope did not open with the key (or there was no key)
  kParse,    // the opened body is not a call envelope (parseCommandData's text)
  kExecute,  // the method threw a standard exception (its what())
  kUnknown,  // the method threw something else
  kBusy,     // calls under way hold all the memory they may: refused unopened
};

// Text of the 20005 answer to a call refused as kBusy.
extern const char kCallBusyText[];

// The memory that calls under way may hold together (512 MiB), shared by
// both transports.
ByteBudget* DefaultCallBudget();

struct CallHooks {
  // The message of the 20005 exception response for a call that did not open
  // (kOpen) or parse (kParse); `text` is the parse failure text (empty for
  // kOpen). Unset: the text itself.
  std::function<std::string(CallFailure failure, const std::string& text)> rejection_message;
  // Told once for every call that failed, with the failure text (for kExecute
  // and kUnknown the exception's text), for the transport's log line.
  std::function<void(CallFailure failure, const std::string& text)> on_failure;
  // Whether an envelope that opens to nothing counts as not opened (the
  // pipe's rule) rather than as an empty call envelope.
  bool empty_plain_is_open_failure = false;
  // Where a call takes the memory its payload needs before it allocates it
  // (null: no bound).
  ByteBudget* budget = DefaultCallBudget();
  // Who sent the call (null: the service itself); must outlive the call.
  const RpcCaller* caller = nullptr;
  // Run the call only when it is quick (CZEVMethodRegistry::isQuick); one
  // that is not comes back `deferred`, with nothing run, told or counted,
  // for the transport to run again where it may block; so does one that
  // opens to more than a few hundred KiB. A call refused before it reaches a
  // method is quick.
  bool quick_only = false;
};

struct CallReply {
  bool exr = true;        // "exr": false for an answer, true for an exception response
  std::string payload;    // the reply before sealing
  std::string body;       // the sealed reply
  std::string etag;       // its etag
  CallFailure failure = CallFailure::kNone;
  bool deferred = false;  // quick_only, and the call is not quick: nothing else is set
};

// Runs one sealed call through `methods`. Never throws.
CallReply ProcessSealedCall(const CZEVMethodRegistry& methods, const std::string& sealed_body,
                            const std::string& key, const CallHooks& hooks);
// A sealed 20005 exception response with `message`, for calls a transport
// refuses before they reach the pipeline.
CallReply RejectCall(const std::string& message);

}  // namespace zev

#endif  // ZEV_RPC_CALL_PIPELINE_H_
