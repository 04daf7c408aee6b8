// The HTTP RPC endpoint on the POCO HTTP stack: "/rpc" takes sealed calls,
// "/" answers "It is working.", "/metrics" the service's metrics (to loopback
// peers only; others get 403), any other path "404 Not Found" (text/plain).
//
// Every connection is served by one worker thread for its whole life, so the
// endpoint bounds what a connection may hold: a connection that sends no
// request, or sends one too slowly, is closed after a few seconds
// (HttpServerLimits), and there are workers enough that such connections do
// not keep other clients waiting meanwhile. A request whose length is
// ambiguous or malformed (RFC 9112, section 6.3) is answered 400 and its
// connection closed, so that no bytes of it are ever read as another
// request.
#ifndef ZEV_RPC_HTTP_SERVER_H_
#define ZEV_RPC_HTTP_SERVER_H_

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/ThreadPool.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/annotated_mutex.h"
#include "contract/bind_address.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "rpc/rpc_dispatch.h"

namespace zev {

// Largest request body read; a larger one is answered as undecodable.
constexpr size_t kMaxRequestBody = 128u << 20;

// Whether the Host field `host` names the endpoint listening on `port`: an IP
// literal of this machine (a loopback address or one of its interfaces'),
// "localhost" or the machine's own name, each with or without ":port". A
// page whose name was made to point at 127.0.0.1 sends its own name, and is
// answered 421.
bool HostNamesEndpoint(const std::string& host, uint16_t port);

// What one endpoint allows its clients. Each connection holds a worker thread
// while it is open; these limits bound how long and how many.
struct HttpServerLimits {
  // Connections served at once, each on a worker thread of its own.
  int max_workers = 256;
  // Accepted connections that wait for a worker; a connection accepted while
  // this many wait is closed at once.
  int max_queued = 128;
  // A new connection must begin its first request, and a kept-alive one its
  // next request, within this time; otherwise it is closed.
  std::chrono::milliseconds idle_limit{5000};
  // The request line and header fields must be complete within this time of
  // the request's first byte.
  std::chrono::milliseconds head_limit{5000};
  // The body must be complete within this time of the end of the header
  // fields. The method that the request calls runs without a limit.
  std::chrono::milliseconds body_limit{10000};
  // A single send or receive that makes no progress for this long ends the
  // connection.
  std::chrono::milliseconds io_limit{5000};
};

// Ends connections that overrun their limits, and all of them at stop.
// Defined in http_server.cc.
class HttpConnectionWatch;

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
  virtual bool hasHeader(const std::string& name) = 0;
  // The connection's two ends: the client's and ours.
  virtual Poco::Net::SocketAddress getClientAddress() = 0;
  virtual Poco::Net::SocketAddress getServerAddress() = 0;
};

// Write access to one response. Not owned, valid for the handler call only.
class IZEVResponseInfo {
 public:
  virtual ~IZEVResponseInfo() = default;
  virtual void addHeader(const std::string& name, const std::string& value) = 0;  // keeps others
  virtual void setHeader(const std::string& name, const std::string& value) = 0;  // replaces
  virtual void setTransferEncoding(const std::string& encoding) = 0;
  virtual void setContentType(const std::string& type) = 0;
  virtual void setStatus(int status) = 0;  // with the status's standard reason phrase
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
// answers status 200 with the CORS fields, "exr" and "etag". The caller is
// known by its address, by the uid the kernel names for a loopback peer, and
// by the Origin field a browser adds. Used by many worker threads at once.
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
  // `paths` (not owned) must outlive the handler: it is its factory's.
  explicit CZEVHttpRequestHandler(const PathTable& paths) : paths_(paths) {}
  void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override;

 private:
  const PathTable& paths_;
};

class CZEVHttpRequestHandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
 public:
  explicit CZEVHttpRequestHandlerFactory(PathTable paths) : paths_(std::move(paths)) {}
  Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest& request) override;

 private:
  const PathTable paths_;
};

// Owns the server: a POCO TCP server whose connections speak HTTP/1.1 with
// POCO's HTTP messages, on a thread pool of its own.
class CZEVHttpServerApplication {
 public:
  explicit CZEVHttpServerApplication(HttpServerLimits limits = HttpServerLimits());
  ~CZEVHttpServerApplication();  // stopServer()
  CZEVHttpServerApplication(const CZEVHttpServerApplication&) = delete;
  CZEVHttpServerApplication& operator=(const CZEVHttpServerApplication&) = delete;

  // False for an empty path or a null processor; otherwise binds (or rebinds)
  // the path. Call before the server starts.
  bool addProcessor(const std::string& path, IZEVEventProcessor* processor);
  // Stops accepting, closes every open connection and joins every thread
  // the server ran (its acceptor, its workers, its watch) before it returns,
  // so that no worker outlives the call. A call being dispatched runs to its
  // end first; its answer is not delivered. Does nothing when no server runs.
  // Any thread but a worker of this server may call it.
  void stopServer();
  // args: program path, address, port. Starts the server and returns at
  // once: 0, or 64 when the socket cannot be bound.
  int run(const std::vector<std::string>& args);

 private:
  // args: address, port.
  int main(const std::vector<std::string>& args);

  const HttpServerLimits limits_;
  Mutex mu_;
  PathTable paths_ GUARDED_BY(mu_);
  // Made together by main() and ended together by stopServer(). The
  // server's workers run on pool_ alone, never on POCO's process-wide default
  // pool, so that stopServer() can join every one of them.
  std::unique_ptr<Poco::ThreadPool> pool_ GUARDED_BY(mu_);
  std::unique_ptr<HttpConnectionWatch> watch_ GUARDED_BY(mu_);
  std::unique_ptr<Poco::Net::TCPServer> server_ GUARDED_BY(mu_);
};

// One endpoint: address, port and a user count. The first start listens, the
// last stop stops listening. start/stop serialise on the entry's lock.
class CZEVHttpServer {
 public:
  // Binds "/rpc" to a processor on `methods` (not owned; must outlive the
  // server). `limits` hold for every listening period.
  explicit CZEVHttpServer(const CZEVMethodRegistry* methods,
                          zev::HttpServerLimits limits = zev::HttpServerLimits());
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
  // Decrements the user count; the last user stops the server, and every
  // thread of the server has ended when it returns. True.
  bool stop();

 private:
  const zev::HttpServerLimits limits_;
  std::string ip_ = "0.0.0.0";
  int32_t port_ = 0;
  Mutex mu_;
  std::atomic<int32_t> users_{0};
  zev::CZEVServiceHttpProcessorImpl processor_;
  std::unique_ptr<zev::CZEVHttpServerApplication> application_ GUARDED_BY(mu_);
};

}  // namespace zev

#endif  // ZEV_RPC_HTTP_SERVER_H_
