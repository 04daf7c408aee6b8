// zevctl's calls to the service: echo, call, component and register, over
// HTTP or the local socket; seal and open of the payload envelope.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/zevclasses/ZEVControlIntfs.pb.h"
#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "contract/names.h"
#include "contract/sealed_call.h"
#include "crypto/payload_envelope.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "tools/zevctl/zevctl.h"

namespace zev::ctl {

namespace {

// Takes "--name value" options out of args.
bool TakeOptions(std::vector<std::string>* args, CallOptions* options) {
  for (size_t i = 0; i < args->size();) {
    const std::string& a = (*args)[i];
    if (a == "--pipe") {
      options->pipe = true;
      args->erase(args->begin() + static_cast<long>(i));
      continue;
    }
    if (a == "--port" || a == "--host" || a == "--in" || a == "--out") {
      if (i + 1 >= args->size()) return false;
      const std::string value = (*args)[i + 1];
      if (a == "--port") options->port = atoi(value.c_str());
      if (a == "--host") options->host = value;
      if (a == "--in") options->in_file = value;
      if (a == "--out") options->out_file = value;
      args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    } else {
      ++i;
    }
  }
  return true;
}

std::string ReadStdin() {
  std::string data;
  char buf[65536];
  ssize_t n;
  while ((n = read(STDIN_FILENO, buf, sizeof(buf))) > 0) data.append(buf, static_cast<size_t>(n));
  return data;
}

}  // namespace

bool PostCall(const CallOptions& options, const std::string& server_id, const std::string& method,
              const std::string& request, std::string* exr, std::string* answer, std::string* error) {
  int port = options.port;
  if (port == 0 && !options.pipe) {
    std::string text;
    if (!RegReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &text)) {
      *error = "no service port in the registry of " + GetCommonDataDir() +
               " (is the service running? or give --port)";
      return false;
    }
    port = atoi(text.c_str());
  }
  const SealedCall call = SealCall(server_id, method, request, {"zevctl", "zevctl"});
  SealedReply reply;
  if (options.pipe) {
    PipeCallChannel channel(PipeSocketPath(GetRuntimeDir(), kServicePipeName), options.limit_ms,
                            "zevctl-" + std::to_string(getpid()));
    if (!channel.Call(call, &reply, error)) return false;
  } else {
    HttpCallChannel channel(options.host, port, options.limit_ms, /*keep_alive=*/false);
    if (!channel.Call(call, &reply, error)) return false;
  }
  *exr = reply.exr;
  if (!OpenReply(reply, answer)) {
    *error = "the reply could not be opened";
    return false;
  }
  return true;
}

namespace {

// PostCall for the commands: the reason of a failure goes to standard error.
bool PostCall(const CallOptions& options, const std::string& server_id, const std::string& method,
              const std::string& request, std::string* exr, std::string* answer) {
  std::string error;
  if (PostCall(options, server_id, method, request, exr, answer, &error)) return true;
  fprintf(stderr, "zevctl: %s\n", error.c_str());
  return false;
}

// Prints an exception response; returns the exit status 1.
int PrintException(const std::string& answer) {
  CZEVRPCExceptionResponse e;
  if (!e.ParseFromString(answer)) {
    printf("exr: 1\n(undecodable exception response)\n");
    return 1;
  }
  printf("exr: 1\ncode: %s\nmessage: %s\n", e.code().c_str(), e.message().c_str());
  if (!e.class_().empty()) printf("class: %s\n", e.class_().c_str());
  if (!e.exceptcallstack().empty()) printf("exceptCallStack: %s\n", e.exceptcallstack().c_str());
  if (!e.data().empty()) printf("data: %s\n", e.data().c_str());
  if (!e.cause().empty()) printf("cause: %s\n", e.cause().c_str());
  return 1;
}

}  // namespace

int Echo(std::vector<std::string> args) {
  CallOptions options;
  if (!TakeOptions(&args, &options) || args.size() != 1) return Usage();
  CZEVEchoRequest request;
  request.set_request(args[0]);
  std::string exr, answer;
  if (!PostCall(options, kEchoServerId, "echo", request.SerializeAsString(), &exr, &answer)) return 1;
  if (exr != "0") return PrintException(answer);
  CZEVEchoResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the echo answer does not parse\n");
    return 1;
  }
  printf("exr: 0\nresponse: %s\n", response.response().c_str());
  return 0;
}

int Call(std::vector<std::string> args) {
  CallOptions options;
  if (!TakeOptions(&args, &options) || args.size() != 2) return Usage();
  std::string request;
  if (options.in_file.empty()) {
    request = ReadStdin();
  } else if (!ReadFileToString(options.in_file, &request)) {
    fprintf(stderr, "zevctl: cannot read %s\n", options.in_file.c_str());
    return 1;
  }
  std::string exr, answer;
  if (!PostCall(options, args[0], args[1], request, &exr, &answer)) return 1;
  if (exr != "0") return PrintException(answer);
  printf("exr: 0\n");
  if (!options.out_file.empty()) {
    if (!WriteFileAtomically(options.out_file, answer)) {
      fprintf(stderr, "zevctl: cannot write %s\n", options.out_file.c_str());
      return 1;
    }
    printf("answer: %zu bytes written to %s\n", answer.size(), options.out_file.c_str());
    return 0;
  }
  printf("answer:");
  for (unsigned char c : answer) printf(" %02x", c);
  printf("\n");
  return 0;
}

int Seal() {
  std::string body, etag;
  encodePayload(ReadStdin(), &body, &etag);
  printf("%s\n%s\n", etag.c_str(), body.c_str());
  return 0;
}

int Open(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage();
  std::string plain;
  if (!decodePayload(ReadStdin(), args[0], &plain)) {
    fprintf(stderr, "zevctl: the payload could not be opened\n");
    return 1;
  }
  fwrite(plain.data(), 1, plain.size(), stdout);
  return 0;
}

namespace {

// Takes "--name value" (or "--flag") options of the control commands out of
// args; false for a missing value.
bool TakeControlOptions(std::vector<std::string>* args, std::map<std::string, std::string>* options,
                        const std::vector<std::string>& with_value, const std::vector<std::string>& flags) {
  for (size_t i = 0; i < args->size();) {
    const std::string a = (*args)[i];
    if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
      (*options)[a] = "";
      args->erase(args->begin() + static_cast<long>(i));
    } else if (std::find(with_value.begin(), with_value.end(), a) != with_value.end()) {
      if (i + 1 >= args->size()) return false;
      (*options)[a] = (*args)[i + 1];
      args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    } else {
      ++i;
    }
  }
  return true;
}

// Calls the control server's `method`; prints the one-line outcome of a
// transport failure or an exception response and answers false for them.
bool ControlCall(const CallOptions& options, const std::string& method, const std::string& request,
                 std::string* answer, int* status) {
  std::string exr;
  if (!PostCall(options, kControlServerId, method, request, &exr, answer)) {
    *status = 1;
    return false;
  }
  if (exr != "0") {
    CZEVRPCExceptionResponse e;
    if (!e.ParseFromString(*answer)) {
      printf("exception: (undecodable exception response)\n");
    } else {
      printf("exception %s: %s\n", OneLine(e.code()).c_str(), OneLine(e.message()).c_str());
    }
    *status = 1;
    return false;
  }
  return true;
}

// Prints the outcome of an answer; returns the exit status.
int PrintOutcome(bool success, const std::string& text) {
  if (success) {
    printf("%s\n", OneLine(text).c_str());
    return 0;
  }
  printf("failed: %s\n", OneLine(text).c_str());
  return 1;
}

}  // namespace

int Component(std::vector<std::string> args) {
  CallOptions options;
  std::map<std::string, std::string> extra;
  if (!TakeOptions(&args, &options) || !TakeControlOptions(&args, &extra, {"--bits"}, {}) || args.size() != 2) {
    return Usage();
  }
  static const std::map<std::string, CZEVComponentDataQueryType> kTypes = {
      {"port", qPort}, {"pipe", qPipeName}, {"version", qVersion}, {"desc", qDesc}, {"entry", qMainEntryPoint}};
  auto type = kTypes.find(args[0]);
  int32_t bits = 64;
  if (type == kTypes.end() || (extra.count("--bits") && !ParseInt32(extra["--bits"], &bits))) return Usage();
  CZEVGetComponentDataRequest request;
  request.set_datatype(type->second);
  request.set_componentid(args[1]);
  request.set_bits(bits);
  std::string answer;
  int status = 0;
  if (!ControlCall(options, "getComponentData", request.SerializeAsString(), &answer, &status)) return status;
  CZEVGetComponentDataResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the getComponentData answer does not parse\n");
    return 1;
  }
  return PrintOutcome(response.success(), response.data());
}

int RegisterCommand(std::vector<std::string> args) {
  CallOptions options;
  std::map<std::string, std::string> extra;
  if (!TakeOptions(&args, &options) ||
      !TakeControlOptions(&args, &extra, {"--app", "--version"}, {"--unregister"})) {
    return Usage();
  }
  const bool unregister = extra.count("--unregister") != 0;
  if (args.size() != 3 && !(unregister && args.size() == 2)) return Usage();
  if (args[0] != "port" && args[0] != "pipe") return Usage();
  CZEVComponentContext context;
  context.set_componentid(args[1]);
  context.set_appcode(extra["--app"]);
  context.set_version(extra["--version"]);
  const std::string value = args.size() == 3 ? args[2] : std::string();
  std::string answer;
  int status = 0;
  if (args[0] == "port") {
    CZEVRegisterPortRequest request;
    int32_t port = 0;
    if (!value.empty() && !ParseInt32(value, &port)) return Usage();
    request.set_rttype(unregister ? rtUnRegisterPort : rtRegisterPort);
    *request.mutable_context() = context;
    request.set_port(port);
    if (!ControlCall(options, "registerPort", request.SerializeAsString(), &answer, &status)) return status;
    CZEVRegisterPortResponse response;
    if (!response.ParseFromString(answer)) {
      fprintf(stderr, "zevctl: the registerPort answer does not parse\n");
      return 1;
    }
    // A withdrawal of an id that held nothing fails with the text "ok".
    if (!response.success() && response.errormessage() == "ok") return PrintOutcome(false, "not registered");
    return PrintOutcome(response.success(), response.errormessage());
  }
  CZEVRegisterPipeRequest request;
  request.set_rttype(unregister ? rtUnRegisterPipe : rtRegisterPipe);
  *request.mutable_context() = context;
  request.set_pipename(value);
  if (!ControlCall(options, "registerPipeName", request.SerializeAsString(), &answer, &status)) return status;
  CZEVRegisterPipeResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the registerPipeName answer does not parse\n");
    return 1;
  }
  if (!response.success() && response.errormessage() == "ok") return PrintOutcome(false, "not registered");
  return PrintOutcome(response.success(), response.errormessage());
}

}  // namespace zev::ctl
