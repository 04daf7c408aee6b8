#include "rpc/call_pipeline.h"

#include <malloc.h>

#include <cctype>
#include <chrono>

#include "base/log.h"
#include "base/metrics.h"
#include "crypto/payload_envelope.h"

namespace zev {

const char kCallBusyText[] = "The service is busy with large calls; try again later.";

namespace {

constexpr size_t kCallBudgetBytes = 512u << 20;
// Beside the opened payload a call holds the request taken from it, the
// method's own copy, the reply and the reply's sealed forms.
constexpr size_t kCopiesAfterOpening = 4;
// What a call tried on the loop thread (quick_only) may take while it is
// opened.
constexpr size_t kQuickOpenBytes = 256 * 1024;
constexpr size_t kTrimAfterBytes = 16u << 20;

void Seal(CallReply* reply) { encodePayload(reply->payload, &reply->body, &reply->etag); }

// The method label of a call's metrics: "serverid.method" in lower case for
// a registered method, "unregistered" for another, "none" for a call that
// did not open or parse. Only a call that was not answered needs the
// registry's look-up.
std::string MethodLabel(const CZEVMethodRegistry& methods, const CZEVComponentDescriptor& descriptor, bool parsed,
                        bool answered) {
  if (!parsed) return "none";
  if (!answered && methods.findMethod(descriptor.serverid(), descriptor.methodcode()) == nullptr)
    return "unregistered";
  std::string label = descriptor.serverid() + "." + descriptor.methodcode();
  for (char& c : label) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return label;
}

const char* ResultLabel(CallFailure failure) {
  switch (failure) {
    case CallFailure::kNone:
      return "answered";
    case CallFailure::kOpen:
    case CallFailure::kParse:
      return "rejected";
    case CallFailure::kExecute:
    case CallFailure::kUnknown:
      return "exception";
    case CallFailure::kBusy:
      return "busy";
  }
  return "unknown";
}

}  // namespace

ByteBudget* DefaultCallBudget() {
  static ByteBudget* budget = new ByteBudget(kCallBudgetBytes);  // used by transport threads until exit
  return budget;
}

CallReply RejectCall(const std::string& message) {
  CallReply reply;
  reply.payload = buildExceptionResponse(message, kRPCCodeParseFailed);
  Seal(&reply);
  return reply;
}

CallReply ProcessSealedCall(const CZEVMethodRegistry& methods, const std::string& sealed_body,
                            const std::string& key, const CallHooks& hooks) {
  const auto started = std::chrono::steady_clock::now();
  bool parsed = false;
  CallReply reply;
  auto reject = [&](CallFailure failure, const std::string& text) {
    reply.failure = failure;
    reply.payload = buildExceptionResponse(
        hooks.rejection_message ? hooks.rejection_message(failure, text) : text, kRPCCodeParseFailed);
    if (hooks.on_failure) hooks.on_failure(failure, text);
  };

  auto refuse = [&] {
    reply.failure = CallFailure::kBusy;
    reply.payload = buildExceptionResponse(kCallBusyText, kRPCCodeParseFailed);
    if (hooks.on_failure) hooks.on_failure(reply.failure, kCallBusyText);
    LogWrite(kLogWarning, "A call of %zu sealed bytes was refused: calls under way hold %zu of %zu bytes.", sealed_body.size(),
             hooks.budget != nullptr ? hooks.budget->used() : 0, hooks.budget != nullptr ? hooks.budget->limit() : 0);
  };

  // On the loop thread a call may only open to a small size: a larger one
  // (an inflating body, say) is left to the pool, where it waits its turn
  // and does not hold up every other connection.
  ByteBudget quick_budget(kQuickOpenBytes);
  ByteReservation reservation(hooks.quick_only ? &quick_budget : hooks.budget);
  std::string plain;
  CZEVComponentDescriptor descriptor;
  std::string request;
  std::string text;
  DecodeStatus opened = DecodeStatus::kOverBudget;
  // The body's decoded and decrypted forms first, then the growing payload.
  if (reservation.GrowTo(sealed_body.size() * 2)) {
    opened = decodePayloadWithin(sealed_body, key, &plain, &reservation);
  }
  if (opened == DecodeStatus::kOk && !reservation.GrowTo(reservation.bytes() + plain.size() * kCopiesAfterOpening)) {
    opened = DecodeStatus::kOverBudget;
    std::string().swap(plain);
  }
  if (opened == DecodeStatus::kOverBudget && hooks.quick_only) {
    reply.deferred = true;
    return reply;
  } else if (opened == DecodeStatus::kOverBudget) {
    refuse();
  } else if (opened != DecodeStatus::kOk || (hooks.empty_plain_is_open_failure && plain.empty())) {
    reject(CallFailure::kOpen, std::string());
  } else if (!parseCommandData(plain, &descriptor, &request, &text)) {
    reject(CallFailure::kParse, text);
  } else if (hooks.quick_only && !methods.isQuick(descriptor, request)) {
    reply.deferred = true;
    return reply;
  } else {
    parsed = true;
    std::string().swap(plain);  // the request holds what the method needs
    switch (executeCallOutcome(methods, descriptor, request, &reply.payload, &text,
                               hooks.caller != nullptr ? *hooks.caller : InProcessCaller())) {
      case CallOutcome::kAnswered:
        reply.exr = false;
        break;
      case CallOutcome::kStdException:
        reply.failure = CallFailure::kExecute;
        break;
      case CallOutcome::kOtherException:
        reply.failure = CallFailure::kUnknown;
        break;
    }
    if (reply.exr && hooks.on_failure) hooks.on_failure(reply.failure, text);
  }
  Seal(&reply);
  zev::ServiceMetrics& metrics = zev::Metrics();
  metrics.rpc_calls.Add({MethodLabel(methods, descriptor, parsed, !reply.exr), ResultLabel(reply.failure)});
  metrics.rpc_latency.Observe(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - started)
                                  .count());
  // After a large call the allocator keeps its freed pages for the next one
  // unless told; hand them back.
  if (reservation.bytes() >= kTrimAfterBytes) malloc_trim(0);
  return reply;
}

}  // namespace zev
