#include "rpc/call_pipeline.h"

#include <malloc.h>

#include "base/log.h"
#include "crypto/payload_envelope.h"

namespace zev {

const char kCallBusyText[] = "The service is busy with large calls; try again later.";

namespace {

constexpr size_t kCallBudgetBytes = 512u << 20;
// Beside the opened payload a call holds the request taken from it, the
// method's own copy, the reply and the reply's sealed forms.
constexpr size_t kCopiesAfterOpening = 4;
constexpr size_t kTrimAfterBytes = 16u << 20;

void Seal(CallReply* reply) { encodePayload(reply->payload, &reply->body, &reply->etag); }

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

  ByteReservation reservation(hooks.budget);
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
  if (opened == DecodeStatus::kOverBudget) {
    refuse();
  } else if (opened != DecodeStatus::kOk || (hooks.empty_plain_is_open_failure && plain.empty())) {
    reject(CallFailure::kOpen, std::string());
  } else if (!parseCommandData(plain, &descriptor, &request, &text)) {
    reject(CallFailure::kParse, text);
  } else {
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
  // After a large call the allocator keeps its freed pages for the next one
  // unless told; hand them back.
  if (reservation.bytes() >= kTrimAfterBytes) malloc_trim(0);
  return reply;
}

}  // namespace zev
