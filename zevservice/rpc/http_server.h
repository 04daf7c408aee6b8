// The HTTP RPC endpoint on the POCO HTTP server: "/rpc" takes sealed calls,
// "/" answers "It is working.", any other path 404.
#ifndef ZEV_RPC_HTTP_SERVER_H_
#define ZEV_RPC_HTTP_SERVER_H_

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Util/ServerApplication.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "rpc/rpc_dispatch.h"

namespace zev {

// Largest request body read; a larger one is answered as undecodable.
constexpr size_t kMaxRequestBody = 128u << 20;

// Read access to one request. Not owned, valid for the handler call only.
class IZEVRequestInfo {
 public:
  virtual ~IZEVRequestInfo() = default;
  virtual int64_t getContentLength() = 0;
  // The whole body, read once and cached. At most kMaxRequestBody bytes;
  // *too_large (when given) tells that the body was longer.
  virtual const std::string& getBody(bool* too_large = nullptr) = 0;
  virtual std::string getScheme() = 0;
  // The URI's query parameters (a later one with the same name wins). False
  // when the path is empty or there are none.
  virtual bool getQueryParameters(std::map<std::string, std::string>& parameters) = 0;
  virtual std::string getMethod() = 0;
  virtual std::string getURI() = 0;
  virtual std::string getHost() = 0;
  virtual std::string getContentType() = 0;
  virtual std::string getPath() = 0;
  virtual std::istream& getStream() = 0;
  virtual std::string getTransferEncoding() = 0;
  virtual std::string getHeader(const std::string& name, const std::string& default_value) = 0;
};

// Write access to one response. Not owned, valid for the handler call only.
class IZEVResponseInfo {
 public:
  virtual ~IZEVResponseInfo() = default;
  virtual void addHeader(const std::string& name, const std::string& value) = 0;  // keeps others
  virtual void setHeader(const std::string& name, const std::string& value) = 0;  // replaces
  virtual void setTransferEncoding(const std::string& encoding) = 0;
  virtual void setContentType(const std::string& type) = 0;
  virtual void setStatus(int status) = 0;
  // Sends status line, header fields and `body` (framed by a content length,
  // or in chunks when chunked transfer encoding was set).
  virtual bool sendBody(const std::string& body) = 0;
};

class IZEVEventProcessor {
 public:
  virtual ~IZEVEventProcessor() = default;
  virtual int32_t process(IZEVRequestInfo& request, IZEVResponseInfo& response) = 0;
};

// The processor bound to "/rpc": opens the sealed call, dispatches it, and
// answers status 200 with the CORS fields, "exr" and "etag". Used by many
// worker threads at once.
class CZEVServiceHttpProcessorImpl : public IZEVEventProcessor {
 public:
  // `methods` (not owned) must outlive the processor.
  explicit CZEVServiceHttpProcessorImpl(const CZEVMethodRegistry* methods) : methods_(methods) {}
  int32_t process(IZEVRequestInfo& request, IZEVResponseInfo& response) override;

 private:
  const CZEVMethodRegistry* const methods_;
};

using PathTable = std::map<std::string, IZEVEventProcessor*>;

class CZEVHttpRequestHandler : public Poco::Net::HTTPRequestHandler {
 public:
  explicit CZEVHttpRequestHandler(PathTable paths) : paths_(std::move(paths)) {}
  void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

 private:
  const PathTable paths_;
};

class CZEVHttpRequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  explicit CZEVHttpRequestHandlerFactory(PathTable paths) : paths_(std::move(paths)) {}
  Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest& request) override;

 private:
  const PathTable paths_;
};

// Owns the POCO HTTP server. POCO allows one Application object per process
// at a time, so at most one endpoint exists at once.
class CZEVHttpServerApplication : public Poco::Util::ServerApplication {
 public:
  CZEVHttpServerApplication() = default;
  ~CZEVHttpServerApplication() override;

  // False for an empty path or a null processor; otherwise binds (or rebinds)
  // the path. Call before the server starts.
  bool addProcessor(const std::string& path, IZEVEventProcessor* processor);
  // Stops the server (if running) and waits for its connections to finish.
  void stopServer();

 protected:
  void initialize(Poco::Util::Application& self) override;
  void uninitialize() override;
  // args: address, port. Starts the server and returns at once: 0, or 64
  // when the socket cannot be bound.
  int main(const std::vector<std::string>& args) override;

 private:
  std::mutex mu_;
  PathTable paths_;                                   // guarded by mu_
  std::unique_ptr<Poco::Net::HTTPServer> server_;     // guarded by mu_
};

}  // namespace zev

// One endpoint: address, port and a user count. The first start listens, the
// last stop stops listening. start/stop serialise on the entry's lock.
class CZEVHttpServer {
 public:
  // Binds "/rpc" to a processor on `methods` (not owned; must outlive the
  // server).
  explicit CZEVHttpServer(const CZEVMethodRegistry* methods = &CZEVMethodRegistry::instance());
  ~CZEVHttpServer();
  CZEVHttpServer(const CZEVHttpServer&) = delete;
  CZEVHttpServer& operator=(const CZEVHttpServer&) = delete;

  void setIp(const std::string& ip) { ip_ = ip; }
  void setPort(int32_t port) { port_ = port; }
  const std::string& ip() const { return ip_; }
  int32_t port() const { return port_; }
  int32_t users() const { return users_.load(); }

  // False for an empty address or port 0, and when the socket cannot be bound
  // (the user count is then left as it was). True when listening, or when an
  // earlier start already listens (the user count goes up).
  bool start();
  // Decrements the user count; the last user stops the server. True.
  bool stop();

 private:
  std::string ip_ = "0.0.0.0";
  int32_t port_ = 0;
  std::mutex mu_;
  std::atomic<int32_t> users_{0};
  zev::CZEVServiceHttpProcessorImpl processor_;
  std::unique_ptr<zev::CZEVHttpServerApplication> application_;
};

#endif  // ZEV_RPC_HTTP_SERVER_H_
