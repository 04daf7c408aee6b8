// Calls to the service as its clients make them: a CZEVRPCCommandData
// sealed in the payload envelope (crypto/payload_envelope.h), sent over HTTP
// (POST "/rpc?key=ETAG") or as one frame on the service's local socket
// (header "key:ETAG"), and the sealed reply opened. zevctl, the tests and
// the benchmarks all call through here.
#ifndef ZEV_CONTRACT_SEALED_CALL_H_
#define ZEV_CONTRACT_SEALED_CALL_H_

#include <string>

#include "contract/http_client.h"

namespace zev {

struct SealedCall {
  std::string body;  // base64 ciphertext
  std::string etag;  // the key block text
};

// What a call tells of its caller in its component descriptor; empty
// fields are left unset.
struct CallerId {
  std::string component_id;
  std::string client_identifier;
};

// Seals a call of `method` of server `server_id` with `request` bytes.
SealedCall SealCall(const std::string& server_id, const std::string& method, const std::string& request,
                    const CallerId& caller = CallerId());

struct SealedReply {
  std::string exr;   // "0": an answer; "1": an exception response
  std::string body;  // sealed
  std::string etag;
};

// Opens a reply: true with its bytes in *answer (the method's response, or
// a CZEVRPCExceptionResponse unless exr is "0"); false when it cannot be
// opened.
bool OpenReply(const SealedReply& reply, std::string* answer);

// Calls over one connection to the HTTP endpoint.
class HttpCallChannel {
 public:
  // Each call may take `limit_ms` (-1: no limit), connecting included.
  // With `keep_alive` the connection is kept for the next call; without,
  // each call asks the endpoint to close it.
  HttpCallChannel(const std::string& host, int port, int limit_ms, bool keep_alive = true);

  // Posts `call`; true with the reply (exr and etag from its headers) when
  // the endpoint answered 200. Otherwise false with the reason in *error:
  // "HTTP 404 from HOST:PORT" or "cannot call HOST:PORT: REASON".
  bool Call(const SealedCall& call, SealedReply* reply, std::string* error);

 private:
  HttpClient connection_;
  const std::string where_;
  const int limit_ms_;
  const bool keep_alive_;
};

// Calls over one connection to a local socket (the service's:
// PipeSocketPath(<common>/run, kServicePipeName)).
class PipeCallChannel {
 public:
  // Each call may take `limit_ms` (-1: no limit), connecting included; the
  // frames carry `tag` (cut to 16 bytes).
  PipeCallChannel(const std::string& socket_path, int limit_ms, const std::string& tag);
  ~PipeCallChannel();
  PipeCallChannel(const PipeCallChannel&) = delete;
  PipeCallChannel& operator=(const PipeCallChannel&) = delete;

  // Sends `call` as one frame and reads the reply frame; true with the reply
  // (exr and etag from its header items). Otherwise false with the reason in
  // *error ("cannot connect to PATH: REASON", "cannot send to PATH", "no
  // reply from PATH within N ms", "no valid reply from PATH"), and the
  // connection closed: the next call makes a new one.
  bool Call(const SealedCall& call, SealedReply* reply, std::string* error);

 private:
  bool Connect(std::string* error);
  void Close();

  const std::string path_;
  const int limit_ms_;
  const std::string tag_;
  int fd_ = -1;
  std::string pending_;
};

}  // namespace zev

#endif  // ZEV_CONTRACT_SEALED_CALL_H_
