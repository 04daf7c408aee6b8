#include "rpc/call_pipeline.h"

#include <gtest/gtest.h>

#include <vector>

#include "crypto/payload_envelope.h"
#include "rpc/echo_server.h"
#include "rpc/rpc_method.h"
#include "testing/rpc_test_util.h"

namespace zev {

namespace {

class FailingServer : public CZEVRPCServer {
 public:
  using CZEVRPCServer::CZEVRPCServer;
  std::string getServerId() const override { return "{PIPELINE}"; }
};
class FailsWithText : public CZEVRPCMethod<FailingServer, CZEVEchoRequest, CZEVEchoResponse> {
 public:
  FailsWithText() : CZEVRPCMethod("text") {}
  void handle(FailingServer&, const CZEVEchoRequest&, CZEVEchoResponse&) override {
    throw std::runtime_error("method failed");
  }
};
class FailsWithInt : public CZEVRPCMethod<FailingServer, CZEVEchoRequest, CZEVEchoResponse> {
 public:
  FailsWithInt() : CZEVRPCMethod("int") {}
  void handle(FailingServer&, const CZEVEchoRequest&, CZEVEchoResponse&) override { throw 7; }
};

class Pipeline : public ::testing::Test {
 protected:
  Pipeline() {
    RegisterEchoMethods(methods_);
    methods_.registerMethod(std::make_unique<FailsWithText>());
    methods_.registerMethod(std::make_unique<FailsWithInt>());
    hooks_.on_failure = [this](CallFailure failure, const std::string& text) { told_.push_back({failure, text}); };
  }

  // Opens a reply and parses its exception response.
  static CZEVRPCExceptionResponse Exception(const CallReply& reply) {
    std::string plain;
    EXPECT_TRUE(decodePayload(reply.body, reply.etag, &plain));
    CZEVRPCExceptionResponse e;
    EXPECT_TRUE(e.ParseFromString(plain));
    return e;
  }

  CZEVMethodRegistry methods_;
  CallHooks hooks_;
  std::vector<std::pair<CallFailure, std::string>> told_;
};

}  // namespace

TEST_F(Pipeline, AnswersASealedCallWithASealedReply) {
  std::string etag;
  std::string body = SealEcho("hello", kEchoServerId, &etag);
  CallReply reply = ProcessSealedCall(methods_, body, etag, hooks_);
  EXPECT_FALSE(reply.exr);
  EXPECT_EQ(reply.failure, CallFailure::kNone);
  std::string plain;
  ASSERT_TRUE(decodePayload(reply.body, reply.etag, &plain));
  CZEVEchoResponse response;
  ASSERT_TRUE(response.ParseFromString(plain));
  EXPECT_EQ(response.response(), "hello");
  EXPECT_EQ(plain, reply.payload);
  EXPECT_TRUE(told_.empty());
}

TEST_F(Pipeline, CallsThatDoNotOpenOrParseAreRejectedWithTheTransportsText) {
  hooks_.rejection_message = [](CallFailure failure, const std::string& text) {
    return std::string(failure == CallFailure::kOpen ? "open:" : "parse:") + text;
  };
  std::string etag;
  std::string body = SealEcho("x", kEchoServerId, &etag);
  CallReply reply = ProcessSealedCall(methods_, body, "00000000-0000-0000-0000-000000000000", hooks_);
  EXPECT_TRUE(reply.exr);
  EXPECT_EQ(reply.failure, CallFailure::kOpen);
  EXPECT_EQ(Exception(reply).message(), "open:");
  EXPECT_EQ(Exception(reply).code(), "20005");

  std::string garbage_etag, garbage;
  encodePayload("\xFF\xFF\xFF", &garbage, &garbage_etag);
  reply = ProcessSealedCall(methods_, garbage, garbage_etag, hooks_);
  EXPECT_EQ(reply.failure, CallFailure::kParse);
  EXPECT_EQ(Exception(reply).message(), "parse:[ERROR]:CommandData parse Error");
  ASSERT_EQ(told_.size(), 2u);
  EXPECT_EQ(told_[1].second, "[ERROR]:CommandData parse Error");

  // An envelope that opens to nothing: an empty call envelope, or (the
  // pipe's rule) not opened at all.
  std::string empty_etag, empty;
  encodePayload("", &empty, &empty_etag);
  EXPECT_EQ(ProcessSealedCall(methods_, empty, empty_etag, hooks_).failure, CallFailure::kParse);
  hooks_.empty_plain_is_open_failure = true;
  EXPECT_EQ(ProcessSealedCall(methods_, empty, empty_etag, hooks_).failure, CallFailure::kOpen);
}

TEST_F(Pipeline, FailedMethodsAnswerTheirCodes) {
  std::string etag;
  CallReply reply = ProcessSealedCall(methods_, SealCall("{pipeline}", "TEXT", "", &etag), etag, hooks_);
  EXPECT_TRUE(reply.exr);
  EXPECT_EQ(reply.failure, CallFailure::kExecute);
  EXPECT_EQ(Exception(reply).code(), "20003");
  EXPECT_EQ(Exception(reply).message(), "method failed");

  reply = ProcessSealedCall(methods_, SealCall("{PIPELINE}", "int", "", &etag), etag, hooks_);
  EXPECT_EQ(reply.failure, CallFailure::kUnknown);
  EXPECT_EQ(Exception(reply).code(), "20000");

  reply = ProcessSealedCall(methods_, SealCall("{PIPELINE}", "none", "", &etag), etag, hooks_);
  EXPECT_EQ(reply.failure, CallFailure::kExecute);  // no such method: 30001 inside, 20003 outside
  EXPECT_EQ(Exception(reply).code(), "20003");
  ASSERT_EQ(told_.size(), 3u);
  EXPECT_EQ(told_[0], std::make_pair(CallFailure::kExecute, std::string("method failed")));

  CallReply rejected = RejectCall("no key");
  EXPECT_TRUE(rejected.exr);
  EXPECT_EQ(Exception(rejected).message(), "no key");
  EXPECT_EQ(Exception(rejected).code(), "20005");
}

TEST_F(Pipeline, LargeCallsBeyondTheMemoryBudgetAreRefusedAndGiveTheirShareBack) {
  ByteBudget budget(8u << 20);
  hooks_.budget = &budget;
  std::string etag;
  // 6 MiB of zeros seal to a few KiB but open to more than the budget holds
  // with the copies a call makes.
  std::string big = SealEcho(std::string(6u << 20, '\0'), kEchoServerId, &etag);
  ASSERT_LT(big.size(), 64u << 10);
  CallReply reply = ProcessSealedCall(methods_, big, etag, hooks_);
  EXPECT_EQ(reply.failure, CallFailure::kBusy);
  EXPECT_EQ(Exception(reply).code(), "20005");
  EXPECT_EQ(Exception(reply).message(), kCallBusyText);
  EXPECT_EQ(budget.used(), 0u);

  // A call that fits goes through, also while part of the budget is taken.
  ASSERT_TRUE(budget.TryReserve(4u << 20));
  std::string small = SealEcho(std::string(64u << 10, 'x'), kEchoServerId, &etag);
  reply = ProcessSealedCall(methods_, small, etag, hooks_);
  EXPECT_FALSE(reply.exr);
  EXPECT_EQ(budget.used(), 4u << 20);
  budget.Release(4u << 20);
  // With room enough, the large call is answered too.
  ByteBudget roomy(64u << 20);
  hooks_.budget = &roomy;
  std::string big_etag;
  big = SealEcho(std::string(6u << 20, '\0'), kEchoServerId, &big_etag);
  reply = ProcessSealedCall(methods_, big, big_etag, hooks_);
  EXPECT_FALSE(reply.exr);
  EXPECT_EQ(roomy.used(), 0u);
  // Tried on the socket's loop, it is left to the pool instead of opened
  // there; a small echo is answered at once.
  hooks_.quick_only = true;
  EXPECT_TRUE(ProcessSealedCall(methods_, big, big_etag, hooks_).deferred);
  std::string hi_etag;
  const std::string hi = SealEcho("hi", kEchoServerId, &hi_etag);
  reply = ProcessSealedCall(methods_, hi, hi_etag, hooks_);
  EXPECT_FALSE(reply.deferred);
  EXPECT_FALSE(reply.exr);
}

}  // namespace zev
