#include "rpc/rpc_dispatch.h"

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "platform/text.h"
#include "rpc/echo_server.h"
#include "rpc/rpc_method.h"

namespace zev {

namespace {

const char kEchoId[] = "{56BFCC2A-7009-4287-93B0-4B857963F151}";
const char kNoMethodPrefix[] = "函数 ";

std::string Descriptor(const std::string& server, const std::string& method,
                       CZEVRequestDataFormat format = dfProtoStream) {
  CZEVComponentDescriptor d;
  d.set_componentid("comp");
  d.set_serverid(server);
  d.set_methodcode(method);
  d.set_requestdataformat(format);
  return d.SerializeAsString();
}

std::string Command(const std::string& descriptor, const std::string& request) {
  CZEVRPCCommandData c;
  c.set_componentdescriptor(descriptor);
  c.set_request(request);
  return c.SerializeAsString();
}

std::string EchoRequest(const std::string& text) {
  CZEVEchoRequest r;
  r.set_request(text);
  return r.SerializeAsString();
}

CZEVRPCExceptionResponse ParseException(const std::string& bytes) {
  CZEVRPCExceptionResponse e;
  EXPECT_TRUE(e.ParseFromString(bytes));
  return e;
}

class TestServer : public CZEVRPCServer {
 public:
  using CZEVRPCServer::CZEVRPCServer;
  std::string getServerId() const override { return "{TEST}"; }
};

class TestThrowsInt : public CZEVRPCMethod<TestServer, CZEVEchoRequest, CZEVEchoResponse> {
 public:
  TestThrowsInt() : CZEVRPCMethod("throwsInt") {}
  void handle(TestServer&, const CZEVEchoRequest&, CZEVEchoResponse&) override { throw 42; }
};

class TestThrowsStd : public CZEVRPCMethod<TestServer, CZEVEchoRequest, CZEVEchoResponse> {
 public:
  TestThrowsStd() : CZEVRPCMethod("throwsStd") {}
  void handle(TestServer& server, const CZEVEchoRequest&, CZEVEchoResponse&) override {
    throw std::runtime_error("bad call from " + server.descriptor().componentid());
  }
};

// The registry of these tests: echo and the two throwing methods.
CZEVMethodRegistry& Methods() {
  static CZEVMethodRegistry* methods = [] {
    auto* m = new CZEVMethodRegistry();
    RegisterEchoMethods(*m);
    m->registerMethod(std::make_unique<TestThrowsInt>());
    m->registerMethod(std::make_unique<TestThrowsStd>());
    return m;
  }();
  return *methods;
}

}  // namespace

TEST(Dispatch, EchoAnswersTheRequestTextWhateverTheLetterCase) {
  std::string payload, failure;
  bool exr = processCommandData(Methods(), Command(Descriptor(ToLowerAscii(kEchoId), "ECHO"), EchoRequest("abc")),
                                "Failed to parse the request data.", &payload, &failure);
  EXPECT_FALSE(exr);
  EXPECT_TRUE(failure.empty());
  CZEVEchoResponse response;
  ASSERT_TRUE(response.ParseFromString(payload));
  EXPECT_EQ(response.response(), "abc");
}

TEST(Dispatch, JsonFormatAndEmptyOrBrokenRequestsStillRunTheBinaryHandler) {
  std::string payload, failure;
  EXPECT_FALSE(processCommandData(Methods(), Command(Descriptor(kEchoId, "echo", dfJSON), EchoRequest("j")), "",
                                  &payload, &failure));
  CZEVEchoResponse response;
  ASSERT_TRUE(response.ParseFromString(payload));
  EXPECT_EQ(response.response(), "j");

  EXPECT_FALSE(processCommandData(Methods(), Command(Descriptor(kEchoId, "echo"), ""), "", &payload, &failure));
  EXPECT_TRUE(payload.empty());  // an empty response serialises to zero bytes

  // Field 1 read, then a truncated field: the handler runs with what was read.
  std::string broken = EchoRequest("part") + "\x12\x05" "ab";
  EXPECT_FALSE(processCommandData(Methods(), Command(Descriptor(kEchoId, "echo"), broken), "", &payload, &failure));
  ASSERT_TRUE(response.ParseFromString(payload));
  EXPECT_EQ(response.response(), "part");
}

TEST(Dispatch, UnknownMethodAnswersCode20003NamingTheIdsAsSent) {
  CZEVComponentDescriptor d;
  d.set_serverid("{Nope-Server}");
  d.set_methodcode("DoIt");
  try {
    std::string response;
    Methods().dispatchCall(d, "", response);
    FAIL() << "no exception";
  } catch (const EZEVRPC& e) {
    EXPECT_EQ(e.code(), kRPCErrorNoMethod);
    EXPECT_EQ(std::string(e.what()), "函数 {Nope-Server}.DoIt 签名不匹配");
  }

  std::string payload;
  EXPECT_TRUE(executeCall(Methods(), d, "", &payload));
  CZEVRPCExceptionResponse e = ParseException(payload);  // valid UTF-8, so it parses
  EXPECT_EQ(e.code(), "20003");
  EXPECT_EQ(e.message().rfind(kNoMethodPrefix, 0), 0u);
  EXPECT_NE(e.message().find("{Nope-Server}.DoIt"), std::string::npos);
  EXPECT_TRUE(e.class_().empty());
}

TEST(Dispatch, HandlerExceptionsMapToTheirCodes) {
  CZEVComponentDescriptor d;
  d.set_componentid("caller");
  d.set_serverid("{test}");
  d.set_methodcode("throwsStd");
  std::string payload;
  EXPECT_TRUE(executeCall(Methods(), d, "", &payload));
  CZEVRPCExceptionResponse e = ParseException(payload);
  EXPECT_EQ(e.code(), "20003");
  EXPECT_EQ(e.message(), "bad call from caller");

  d.set_methodcode("throwsInt");
  EXPECT_TRUE(executeCall(Methods(), d, "", &payload));
  e = ParseException(payload);
  EXPECT_EQ(e.code(), "20000");
  EXPECT_EQ(e.message(), "unkonwn error");
}

TEST(Dispatch, DuplicateRegistrationIsRefusedAndTheFirstMethodStays) {
  CZEVMethodRegistry methods;
  RegisterEchoMethods(methods);
  CZEVBaseRPCExecute* first = methods.findMethod(kEchoId, "echo");
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(methods.registerMethod(std::make_unique<CZEVEchoServerecho>()));  // "echo" again
  EXPECT_FALSE(methods.registerMethod(nullptr));
  EXPECT_EQ(methods.size(), 1u);
  EXPECT_EQ(methods.findMethod(kEchoId, "ECHO"), first);
  // A registry of its own knows nothing of another's methods.
  CZEVMethodRegistry empty;
  EXPECT_EQ(empty.findMethod(kEchoId, "echo"), nullptr);
}

TEST(Dispatch, ParseFailuresAreRefusedBeforeDispatchWithCode20005) {
  struct Case {
    std::string body;
    std::string text;
  };
  const Case cases[] = {
      {"\xFF\xFF\xFF", "[ERROR]:CommandData parse Error"},
      {Command("\x0A\x05" "ab", ""), "[ERROR]:ComponentDescriptor ParseFromArray return false"},
      {Command(Descriptor("", "echo"), ""), "[ERROR]:Serverid in ComponentDescriptor is empty"},
      {Command(Descriptor(kEchoId, ""), ""), "[ERROR]:Methodcode in ComponentDescriptor is empty"},
      // Invalid UTF-8 in the descriptor's string field fails its parse.
      {Command(Descriptor("{bad\xFF}", "echo"), ""),
       "[ERROR]:ComponentDescriptor ParseFromArray return false"},
  };
  for (const Case& c : cases) {
    std::string payload, failure;
    EXPECT_TRUE(processCommandData(Methods(), c.body, "Failed to parse the request data.", &payload, &failure));
    EXPECT_EQ(failure, c.text);
    CZEVRPCExceptionResponse e = ParseException(payload);
    EXPECT_EQ(e.code(), "20005");
    EXPECT_EQ(e.message(), "Failed to parse the request data.");
    EXPECT_TRUE(e.class_().empty() && e.exceptcallstack().empty() && e.data().empty() &&
                e.cause().empty());
    // The pipe answers with the failure text itself.
    processCommandData(Methods(), c.body, "", &payload, &failure);
    EXPECT_EQ(ParseException(payload).message(), c.text);
  }
  // The same invalid bytes are fine in a bytes field.
  CZEVRPCCommandData raw;
  EXPECT_TRUE(raw.ParseFromString(Command(Descriptor(kEchoId, "echo"), "\xFF\xFE")));
}

TEST(Dispatch, RaisedMessagesAreCutAt999BytesOnACharacterBoundary) {
  std::string long_text;
  for (int i = 0; i < 500; ++i) long_text += "中";  // 3 bytes each
  try {
    raiseRPCError(1, "%s", long_text.c_str());
  } catch (const EZEVRPC& e) {
    std::string what = e.what();
    EXPECT_EQ(what.size(), 999u);
    EXPECT_TRUE(IsValidUtf8(what));
  }
  try {
    raiseRPCError(1, "a%sb", std::string(997, 'z').c_str());
  } catch (const EZEVRPC& e) {
    EXPECT_EQ(std::string(e.what()).size(), 999u);
  }
  // A message that is not UTF-8 still gives a reply clients can parse.
  CZEVRPCExceptionResponse e = ParseException(buildExceptionResponse("bad\xFF", "20003"));
  EXPECT_EQ(e.message(), "bad\xEF\xBF\xBD");
}

TEST(Dispatch, JsonMappingUsesTheDeclaredFieldNames) {
  CZEVComponentDescriptor d;
  d.set_componentid("c");
  d.set_serverid(kEchoId);
  std::string json;
  ASSERT_TRUE(google::protobuf::util::MessageToJsonString(d, &json).ok());
  EXPECT_NE(json.find("\"componentId\":\"c\""), std::string::npos) << json;
  CZEVRPCExceptionResponse e;
  e.set_class_("K");
  ASSERT_TRUE(google::protobuf::util::MessageToJsonString(e, &json).ok());
  EXPECT_NE(json.find("\"class\":\"K\""), std::string::npos) << json;

  // The echo executor's JSON form.
  CZEVBaseRPCExecute* executor = Methods().findMethod(kEchoId, "echo");
  ASSERT_NE(executor, nullptr);
  EXPECT_EQ(executor->getServerId(), kEchoId);
  EXPECT_EQ(executor->getMethodName(), "echo");
  std::string out;
  executor->executeJson(CZEVComponentDescriptor(), "{\"request\":\"hi\"}", out);
  EXPECT_EQ(out, "{\"response\":\"hi\"}");
  executor->executeJson(CZEVComponentDescriptor(), "not json", out);
  EXPECT_EQ(out, "{}");
  EXPECT_EQ(Methods().findMethod(kEchoId, "nothing"), nullptr);
}

}  // namespace zev
