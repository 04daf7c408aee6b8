#include "rpc/call_pipeline.h"

#include "crypto/payload_envelope.h"

namespace {

void Seal(CallReply* reply) { encodePayload(reply->payload, &reply->body, &reply->etag); }

}  // namespace

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

  std::string plain;
  CZEVComponentDescriptor descriptor;
  std::string request;
  std::string text;
  if (!decodePayload(sealed_body, key, &plain) || (hooks.empty_plain_is_open_failure && plain.empty())) {
    reject(CallFailure::kOpen, std::string());
  } else if (!parseCommandData(plain, &descriptor, &request, &text)) {
    reject(CallFailure::kParse, text);
  } else {
    try {
      methods.dispatchCall(descriptor, request, reply.payload);
      reply.exr = false;
    } catch (const std::exception& e) {
      reply.failure = CallFailure::kExecute;
      reply.payload = buildExceptionResponse(e.what(), kRPCCodeException);
      if (hooks.on_failure) hooks.on_failure(reply.failure, e.what());
    } catch (...) {
      reply.failure = CallFailure::kUnknown;
      reply.payload = buildExceptionResponse(kRPCUnknownErrorText, kRPCCodeUnknown);
      if (hooks.on_failure) hooks.on_failure(reply.failure, kRPCUnknownErrorText);
    }
  }
  Seal(&reply);
  return reply;
}
