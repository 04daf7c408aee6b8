// zev-strategy-server: a small strategy server that serves one catalogue
// file to the machines that ask, so that the server road can be run and
// tested for real.
//
//   zev-strategy-server --listen HOST:PORT --catalogue FILE [--events FILE]
//                       [--tls CERT KEY] [--sign-key KEY]
//
// --tls serves https with the certificate (chain) and private key of the
// PEM files CERT and KEY. --sign-key signs every catalogue it serves with
// the Ed25519 private key of the PEM file KEY: the response header
// "catalogueSignature" holds base64 of the signature of the catalogue
// document (the bytes that "data" decrypts to).
//
// POST /api/application/upgrade-list: checks "accessKeyId" and "signature"
//   (MD5 of the sealed content and the signing secret), opens the content
//   (the device JSON) and answers {"code":0,"msg":"ok","data":SEALED}, where
//   SEALED is the catalogue file (read anew for every request) sealed for the
//   client. A wrong key or signature answers {"code":401,"msg":"denied"}.
// POST /api/event: the same check; the opened report is appended as one line
//   to the events file; answers {"code":0,"msg":"ok"}.
// GET /files/NAME: the file NAME (letters, digits, ".", "-", "_"; no leading
//   ".") of the catalogue's folder, so that packages can be fetched over
//   HTTP; "@SERVER@" in the catalogue stands for "http://HOST" (with --tls
//   "https://HOST") as the client named this server.
// Anything malformed gets a JSON error reply with a non-zero code.
// With port 0 the chosen port is printed on standard output.
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/StreamCopier.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "crypto/detached_signature.h"
#include "platform/digest.h"
#include "platform/paths.h"
#include "server/server_channel.h"

namespace zev {

namespace {

struct Settings {
  std::string catalogue;
  std::string events;
  std::string tls_cert, tls_key;
  std::string sign_key;  // the PEM text of the Ed25519 private key
};

std::mutex events_mu;

std::string Reply(int code, const std::string& msg, const std::string& data = "", bool with_data = false) {
  std::string out = "{\"code\":" + std::to_string(code) + ",\"msg\":\"" + msg + "\"";
  if (with_data) out += ",\"data\":\"" + data + "\"";  // base64 needs no escaping
  return out + "}";
}

// The value of `name` in a form body ("a=1&content=..."), decoded.
bool FormValue(const std::string& body, const std::string& name, std::string* value) {
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string pair = body.substr(start, end - start);
    size_t eq = pair.find('=');
    if (eq != std::string::npos && pair.substr(0, eq) == name) {
      *value = UrlDecode(pair.substr(eq + 1));
      return true;
    }
    start = end + 1;
  }
  return false;
}

class Handler : public Poco::Net::HTTPRequestHandler {
 public:
  explicit Handler(const Settings& settings) : settings_(settings) {}

  void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
    if (request.getMethod() == "GET" && request.getURI().rfind("/files/", 0) == 0) {
      return SendFile(request.getURI().substr(7), response);
    }
    std::string reply;
    try {
      reply = Answer(request, response);
    } catch (const std::exception& e) {
      reply = Reply(500, "server error");
    }
    response.setContentType("application/json");
    response.setContentLength64(static_cast<int64_t>(reply.size()));
    response.send() << reply;
  }

 private:
  std::string Answer(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    const std::string path = request.getURI();
    if (request.getMethod() != "POST") return Reply(405, "POST only");
    if (path != kCatalogueEndpoint && path != kEventEndpoint) return Reply(404, "no such path");
    std::string body;
    if (request.hasContentLength() && request.getContentLength64() > (64 << 20)) return Reply(413, "too large");
    Poco::StreamCopier::copyToString(request.stream(), body);
    std::string sealed;
    if (!FormValue(body, "content", &sealed)) return Reply(400, "no content");
    if (request.get("accessKeyId", "") != kAccessKeyId ||
        request.get("signature", "") != Md5Hex((sealed + kSigningSecret).c_str())) {
      return Reply(401, "denied");
    }
    std::string content = DecryptText(sealed, ContentKey());
    if (path == kEventEndpoint) {
      if (content.empty() || content.find('\n') != std::string::npos) return Reply(400, "bad report");
      if (!settings_.events.empty()) {
        std::lock_guard<std::mutex> lock(events_mu);
        int fd = open(settings_.events.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return Reply(500, "cannot write events");
        std::string line = content + "\n";
        bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        close(fd);
        if (!ok) return Reply(500, "cannot write events");
      }
      return Reply(0, "ok");
    }
    std::string catalogue;
    if (!ReadFileToString(settings_.catalogue, &catalogue)) return Reply(500, "no catalogue");
    const std::string server = (settings_.tls_cert.empty() ? "http://" : "https://") + request.getHost();
    for (size_t at = catalogue.find("@SERVER@"); at != std::string::npos; at = catalogue.find("@SERVER@", at)) {
      catalogue.replace(at, 8, server);
      at += server.size();
    }
    if (!settings_.sign_key.empty()) {
      // What the client decrypts: the text up to its first zero byte.
      std::string signature, why;
      if (!SignEd25519(settings_.sign_key, catalogue.substr(0, catalogue.find('\0')), &signature, &why)) {
        return Reply(500, "cannot sign");
      }
      response.set(kCatalogueSignatureHeader, signature);
    }
    return Reply(0, "ok", EncryptText(catalogue, ContentKey()), true);
  }

  void SendFile(const std::string& name, Poco::Net::HTTPServerResponse& response) {
    std::string data;
    const bool plain = !name.empty() && name[0] != '.' &&
                       name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-_") ==
                           std::string::npos;
    const size_t slash = settings_.catalogue.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : settings_.catalogue.substr(0, slash);
    if (!plain || !ReadFileToString(JoinPath(folder, name), &data)) {
      response.setStatus(Poco::Net::HTTPResponse::HTTP_NOT_FOUND);
      data.clear();
    }
    response.setContentType("application/octet-stream");
    response.setContentLength64(static_cast<int64_t>(data.size()));
    response.send() << data;
  }

  const Settings& settings_;
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  explicit Factory(const Settings& settings) : settings_(settings) {}
  Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
    return new Handler(settings_);
  }

 private:
  const Settings& settings_;
};

int Usage() {
  fprintf(stderr,
          "usage: zev-strategy-server --listen HOST:PORT --catalogue FILE [--events FILE] [--tls CERT KEY] "
          "[--sign-key KEY]\n");
  return 2;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  std::string listen;
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    if (a == "--listen") listen = argv[++i];
    else if (a == "--catalogue") settings.catalogue = argv[++i];
    else if (a == "--events") settings.events = argv[++i];
    else if (a == "--tls" && i + 2 < argc) {
      settings.tls_cert = argv[++i];
      settings.tls_key = argv[++i];
    } else if (a == "--sign-key") {
      if (!ReadFileToString(argv[++i], &settings.sign_key)) {
        fprintf(stderr, "zev-strategy-server: cannot read %s\n", argv[i]);
        return 1;
      }
    } else return Usage();
  }
  size_t colon = listen.rfind(':');
  if (listen.empty() || colon == std::string::npos || settings.catalogue.empty()) return Usage();

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before any thread starts

  try {
    const Poco::Net::SocketAddress address(listen.substr(0, colon), listen.substr(colon + 1));
    std::unique_ptr<Poco::Net::ServerSocket> listening;
    if (settings.tls_cert.empty()) {
      listening = std::make_unique<Poco::Net::ServerSocket>(address, 64);
    } else {
      Poco::Net::initializeSSL();
      Poco::Net::Context::Ptr context = new Poco::Net::Context(
          Poco::Net::Context::TLS_SERVER_USE, settings.tls_key, settings.tls_cert, "", Poco::Net::Context::VERIFY_NONE);
      listening = std::make_unique<Poco::Net::SecureServerSocket>(address, 64, context);
    }
    Poco::Net::ServerSocket& socket = *listening;
    Poco::Net::HTTPServer server(new Factory(settings), socket, new Poco::Net::HTTPServerParams());
    server.start();
    printf("%d\n", static_cast<int>(socket.address().port()));
    fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    server.stopAll(true);
  } catch (const std::exception& e) {
    fprintf(stderr, "zev-strategy-server: %s\n", e.what());
    return 1;
  }
  return 0;
}
