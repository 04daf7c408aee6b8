#include "rpc/http_server.h"

#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/URI.h>

#include <cstdlib>

#include "base/log.h"
#include "platform/paths.h"
#include "rpc/call_pipeline.h"

namespace zev {
namespace {

const char kParseFailedText[] = "Failed to parse the request data.";
// The one parse failure the endpoint does not log: a body that is no call
// envelope at all.
const char kCommandDataParseError[] = "[ERROR]:CommandData parse Error";

class CZEVRequestInfoImp : public IZEVRequestInfo {
 public:
  explicit CZEVRequestInfoImp(Poco::Net::HTTPServerRequest& request) : request_(request) {}

  int64_t getContentLength() override { return request_.getContentLength64(); }

  const std::string& getBody(bool* too_large) override {
    // A request with neither a length nor chunked framing has no body
    // (RFC 9112, 6.3); reading one would wait for the client to close.
    if (!body_read_ && !request_.getChunkedTransferEncoding() && !request_.hasContentLength()) {
      body_read_ = true;
    }
    if (!body_read_) {
      body_read_ = true;
      std::istream& in = request_.stream();
      char buf[8192];
      while (in) {
        in.read(buf, sizeof(buf));
        std::streamsize n = in.gcount();
        if (n <= 0) break;
        if (body_.size() + static_cast<size_t>(n) > kMaxRequestBody) {
          body_too_large_ = true;
          body_.clear();
          break;
        }
        body_.append(buf, static_cast<size_t>(n));
      }
    }
    if (too_large) *too_large = body_too_large_;
    return body_;
  }

  std::string getScheme() override { return Uri().getScheme(); }

  bool getQueryParameters(std::map<std::string, std::string>& parameters) override {
    try {
      Poco::URI uri(request_.getURI());
      if (uri.getPath().empty()) return false;
      Poco::URI::QueryParameters query = uri.getQueryParameters();
      if (query.empty()) return false;
      for (const auto& kv : query) parameters[kv.first] = kv.second;
      return true;
    } catch (const Poco::Exception&) {
      return false;  // a malformed URI or query has no usable parameters
    }
  }

  std::string getMethod() override { return request_.getMethod(); }
  std::string getURI() override { return request_.getURI(); }
  std::string getHost() override { return request_.getHost(); }
  std::string getContentType() override { return request_.getContentType(); }

  std::string getPath() override {
    try {
      return Poco::URI(request_.getURI()).getPath();
    } catch (const Poco::Exception&) {
      return request_.getURI();
    }
  }

  std::istream& getStream() override { return request_.stream(); }
  std::string getTransferEncoding() override { return request_.getTransferEncoding(); }
  std::string getHeader(const std::string& name, const std::string& default_value) override {
    return request_.get(name, default_value);
  }

  bool body_too_large() const { return body_too_large_; }

 private:
  Poco::URI Uri() {
    try {
      return Poco::URI(request_.getURI());
    } catch (const Poco::Exception&) {
      return Poco::URI();
    }
  }

  Poco::Net::HTTPServerRequest& request_;  // not owned
  bool body_read_ = false;
  bool body_too_large_ = false;
  std::string body_;
};

class CResponseInfoImp : public IZEVResponseInfo {
 public:
  explicit CResponseInfoImp(Poco::Net::HTTPServerResponse& response) : response_(response) {}

  void addHeader(const std::string& name, const std::string& value) override { response_.add(name, value); }
  void setHeader(const std::string& name, const std::string& value) override { response_.set(name, value); }
  void setTransferEncoding(const std::string& encoding) override { response_.setTransferEncoding(encoding); }
  void setContentType(const std::string& type) override { response_.setContentType(type); }
  void setStatus(int status) override { response_.setStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(status)); }

  bool sendBody(const std::string& body) override {
    // A content length (or chunked framing) keeps the connection open for
    // the client's next call.
    if (!response_.getChunkedTransferEncoding()) response_.setContentLength64(static_cast<int64_t>(body.size()));
    std::ostream& out = response_.send();
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    out.flush();
    sent_ = true;
    return true;
  }

  bool sent() const { return sent_; }

 private:
  Poco::Net::HTTPServerResponse& response_;  // not owned
  bool sent_ = false;
};

}  // namespace


int32_t CZEVServiceHttpProcessorImpl::process(IZEVRequestInfo& request, IZEVResponseInfo& response) {
  response.addHeader("Access-Control-Allow-Methods", "GET, POST, OPTIONS, PUT, DELETE");
  response.addHeader("Access-Control-Expose-Headers", "exr,x-requested-with,content-type");
  response.addHeader("Access-Control-Allow-Credentials", "true");
  response.addHeader("Access-Control-Allow-Headers",
                     "Authorization,Content-Type,Accept,Origin,User-Agent,DNT,Cache-Control,X-Mx-ReqToken,"
                     "X-Data-Type,X-Requested-With,X-Data-Type,X-Auth-Token");
  response.setContentType("text/plain");
  response.setTransferEncoding(request.getTransferEncoding());
  LogWrite(1, "get rpc request");

  bool too_large = false;
  const std::string& body = request.getBody(&too_large);
  std::map<std::string, std::string> parameters;
  request.getQueryParameters(parameters);
  auto key = parameters.find("key");
  CallReply reply;
  if (too_large || key == parameters.end()) {
    reply = RejectCall(kParseFailedText);
  } else {
    CallHooks hooks;
    hooks.rejection_message = [](CallFailure, const std::string&) { return std::string(kParseFailedText); };
    hooks.on_failure = [](CallFailure failure, const std::string& text) {
      if (failure == CallFailure::kParse && text != kCommandDataParseError) LogWrite(3, "%s", text.c_str());
      if (failure == CallFailure::kExecute) LogWrite(3, "[ERROR]:Catch ecExecuteException");
      if (failure == CallFailure::kUnknown) LogWrite(3, "[ERROR]:Catch ecUnknownError");
    };
    reply = ProcessSealedCall(*methods_, body, key->second, hooks);
  }
  response.addHeader("exr", reply.exr ? "1" : "0");
  response.addHeader("etag", reply.etag);
  response.sendBody(reply.body);
  LogWrite(1, "finised rpc request");
  return 200;
}

void CZEVHttpRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                          Poco::Net::HTTPServerResponse& response) {
  CZEVRequestInfoImp request_info(request);
  CResponseInfoImp response_info(response);
  try {
    std::string path = request_info.getPath();
    auto it = paths_.find(path);
    if (it != paths_.end()) {
      it->second->process(request_info, response_info);
    } else if (path == "/") {
      response_info.sendBody("It is working.");
    } else {
      response_info.setStatus(404);
      response_info.sendBody("Find path error: " + path);
    }
    // An unread rest of an oversized body would be taken as the next request.
    if (request_info.body_too_large()) response.setKeepAlive(false);
  } catch (const std::exception& e) {
    LogWrite(3, "http request failed: %s", e.what());
    if (!response_info.sent()) {
      response.setKeepAlive(false);
      response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
      response.send().flush();
    }
  }
}

Poco::Net::HTTPRequestHandler* CZEVHttpRequestHandlerFactory::createRequestHandler(
    const Poco::Net::HTTPServerRequest& /*request*/) {
  return new CZEVHttpRequestHandler(paths_);
}

CZEVHttpServerApplication::~CZEVHttpServerApplication() { stopServer(); }

bool CZEVHttpServerApplication::addProcessor(const std::string& path, IZEVEventProcessor* processor) {
  if (path.empty() || processor == nullptr) return false;
  std::lock_guard<std::mutex> lock(mu_);
  paths_[path] = processor;
  return true;
}

void CZEVHttpServerApplication::stopServer() {
  std::unique_ptr<Poco::Net::HTTPServer> server;
  {
    std::lock_guard<std::mutex> lock(mu_);
    server.swap(server_);
  }
  if (server) server->stopAll(true);
}

void CZEVHttpServerApplication::initialize(Poco::Util::Application& self) {
  Poco::Util::Application::initialize(self);
}

void CZEVHttpServerApplication::uninitialize() { Poco::Util::Application::uninitialize(); }

int CZEVHttpServerApplication::main(const std::vector<std::string>& args) {
  int port = args.size() > 1 ? atoi(args[1].c_str()) : 0;
  try {
    std::lock_guard<std::mutex> lock(mu_);
    Poco::Net::SocketAddress address(args.empty() ? std::string() : args[0], static_cast<Poco::UInt16>(port));
    Poco::Net::ServerSocket socket(address, 128);
    server_ = std::make_unique<Poco::Net::HTTPServer>(new CZEVHttpRequestHandlerFactory(paths_), socket,
                                                      new Poco::Net::HTTPServerParams());
    server_->start();
  } catch (const std::exception&) {
    LogWrite(3, "Bind port(%d) error.", port);
    return 64;
  }
  LogWrite(1, "Bind port(%d) OK.", port);
  return 0;
}

}  // namespace zev

CZEVHttpServer::CZEVHttpServer(const CZEVMethodRegistry* methods) : processor_(methods) {}

CZEVHttpServer::~CZEVHttpServer() {
  std::lock_guard<std::mutex> lock(mu_);
  application_.reset();
}

bool CZEVHttpServer::start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (ip_.empty() || port_ == 0) {
    LogWrite(3, "The ip or port is NULL: %s:%d.", ip_.c_str(), port_);
    return false;
  }
  int32_t before = users_.fetch_add(1);
  if (before > 0) {
    LogWrite(1, "The http server: %s:%d has been started(%d).", ip_.c_str(), port_, before + 1);
    return true;
  }
  LogWrite(1, "Start http server: %s", ip_.c_str());
  // The application is made for each listening period: POCO allows one
  // Application object at a time and does not run one twice.
  application_.reset();
  application_ = std::make_unique<zev::CZEVHttpServerApplication>();
  application_->addProcessor("/rpc", &processor_);
  int rc;
  try {
    rc = application_->run({GetModulePath(), ip_, std::to_string(port_)});
  } catch (const std::exception&) {
    LogWrite(3, "Bind port(%d) error.", port_);
    rc = 64;
  }
  if (rc != 0) {
    // Nothing listens: report the failure instead of counting a user.
    users_.fetch_sub(1);
    application_.reset();
    return false;
  }
  return true;
}

bool CZEVHttpServer::stop() {
  std::lock_guard<std::mutex> lock(mu_);
  int32_t after = users_.fetch_sub(1) - 1;
  if (after > 0) {
    LogWrite(1, "There are %d component(s) using this server: %s:%d, and it can't be stopped now.", after,
             ip_.c_str(), port_);
    return true;
  }
  LogWrite(1, "There are no components using this server: %s:%d, stop it.", ip_.c_str(), port_);
  if (application_) application_->stopServer();
  application_.reset();
  users_.store(0);
  return true;
}
