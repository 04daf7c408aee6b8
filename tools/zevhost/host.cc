#include "tools/zevhost/host.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/annotated_mutex.h"
#include "base/clock.h"
#include "bus/envelope.h"
#include "bus/term_interfaces.h"
#include "bus/term_settings.h"
#include "platform/paths.h"
#include "tools/zevhost/host_args.h"
#include "tools/zevhost/host_log.h"
#include "tools/zevhost/host_message.h"
#include "tools/zevhost/supervisor.h"

namespace zev {

namespace {

constexpr int kExitStopAll = 255;
constexpr int kExitTerminated = 128 + SIGTERM;
constexpr int kExitFailure = 1;

// Where the host tells of the starts it refused and of the components'
// processes that ended: the node that sent the last "start" (the monitor),
// over the bus while the host is on it.
class RefusalChannel {
 public:
  void SetPeer(const std::string& node) {
    MutexLock lock(&mu_);
    peer_ = node;
  }
  // `bus` (null: none) must live until the next Attach.
  void Attach(pubsdk::CRpcTermSettings* bus) {
    MutexLock lock(&mu_);
    bus_ = bus;
  }
  void Send(const CZEVComponentContext& context, const std::string& why) {
    Tell(pubsdk::kStartRefusedMsgType,
         pubsdk::BuildStartRefusal({context.appcode(), context.componentid(), context.version(), why}),
         "the refused start");
  }
  // `code` as the reaper gives it: 128 + s for signal s (as a shell reports
  // it); -1 for a process reaped elsewhere, told as exit 255.
  void SendEnded(const CZEVComponentContext& context, int code) {
    pubsdk::ComponentEnd end;
    end.app_code = context.appcode();
    end.component_id = context.componentid();
    end.version = context.version();
    if (code > 128 && code < 128 + 65) {
      end.signal = code - 128;
    } else {
      end.exit_code = code < 0 || code > 255 ? 255 : code;
    }
    Tell(pubsdk::kComponentEndedMsgType, pubsdk::BuildComponentEnd(end), "the end of a component");
  }

 private:
  void Tell(const char* msgtype, const std::string& payload, const char* what) {
    MutexLock lock(&mu_);
    if (bus_ == nullptr || peer_.empty()) return;
    if (!bus_->Send(peer_, msgtype, payload, Clock::Real()->TickCount())) {
      HostLog("cannot tell " + peer_ + " of " + what);
    }
  }

  Mutex mu_;
  pubsdk::CRpcTermSettings* bus_ GUARDED_BY(mu_) = nullptr;
  std::string peer_ GUARDED_BY(mu_);
};

// Takes the bus's messages on the term's receiver thread, checks them and
// hands them to the supervisor, which never blocks the caller. After
// "stopall" it takes nothing more and raises `stop_fd`.
class HostReceiver final : public pubsdk::IReceiver {
 public:
  // `supervisor` must outlive every call of OnInput (the term is left before
  // it goes); `stop_fd` is an eventfd the owner watches.
  HostReceiver(std::string node_name, ComponentSupervisor* supervisor, RefusalChannel* refusals, int stop_fd)
      : node_name_(std::move(node_name)), supervisor_(supervisor), refusals_(refusals), stop_fd_(stop_fd) {}

  pubsdk::HRESULT QueryInterface(const pubsdk::GUID& iid, void** out) override {
    if (out == nullptr) return pubsdk::kE_POINTER;
    if (iid == pubsdk::IID_IUnknown || iid == pubsdk::IID_IReceiver) {
      AddRef();
      *out = this;
      return pubsdk::kS_OK;
    }
    *out = nullptr;
    return pubsdk::kE_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  pubsdk::HRESULT OnInput(const char* /*name*/, uint32_t length, const char* data) override {
    if (stopping_) {
      HostLog("message after stopall ignored");
      return pubsdk::kS_OK;
    }
    // Nodes introduce themselves to each other; the term has answered already.
    if (pubsdk::IsNameExchange(data, length)) return pubsdk::kS_OK;
    HostMessage message;
    std::string why;
    if (!CheckHostMessage(data, length, node_name_, &message, &why)) {
      HostLog("message dropped: " + why);
      return pubsdk::kS_OK;
    }
    switch (message.command) {
      case HostCommand::kStart:
        refusals_->SetPeer(message.sender);
        supervisor_->Start(message.context);
        break;
      case HostCommand::kStop:
        supervisor_->Stop(message.context);
        break;
      case HostCommand::kStopAll: {
        stopping_ = true;
        uint64_t one = 1;
        if (write(stop_fd_, &one, sizeof(one)) < 0) HostLog("cannot signal stopall");
        break;
      }
    }
    return pubsdk::kS_OK;
  }
  pubsdk::HRESULT OnOutput(const char* text) override {
    if (text != nullptr) HostLog(text);
    return pubsdk::kS_OK;
  }
  pubsdk::HRESULT OnOutputLine(const char* text) override { return OnOutput(text); }

 private:
  ~HostReceiver() = default;

  const std::string node_name_;
  ComponentSupervisor* const supervisor_;
  RefusalChannel* const refusals_;
  const int stop_fd_;
  std::atomic<uint32_t> refs_{1};
  bool stopping_ = false;  // only on the receiver thread
};

// Waits for "stopall" (stop_fd) or SIGTERM (signal_fd); the exit code.
int WaitForEnd(int stop_fd, int signal_fd) {
  pollfd fds[2] = {{stop_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      HostLog("poll failed");
      return kExitFailure;
    }
    if (fds[1].revents != 0) {
      HostLog("SIGTERM: stopping");
      return kExitTerminated;
    }
    if (fds[0].revents != 0) {
      HostLog("stopall: stopping");
      return kExitStopAll;
    }
  }
}

}  // namespace

int RunHost(int argc, char** argv) {
  if (argc != 2) {
    HostLog("usage: zevhost \"<node name with ':' before the last --nodeindex>\"");
    return kExitFailure;
  }
  HostArgument argument;
  std::string why;
  if (!ParseHostArgument(argv[1], &argument, &why)) {
    HostLog("bad argument '" + std::string(argv[1]) + "': " + why);
    return kExitFailure;
  }
  // Blocked before any thread starts, so that every thread inherits the mask
  // and SIGTERM and SIGCHLD are only ever read from signalfds (SIGCHLD by
  // the supervisor's reaper). Children get an empty mask back when they
  // start.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigset_t blocked = term;
  sigaddset(&blocked, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  // A signal meant for the service reaches every process of its unit
  // (systemctl kill -s HUP): hosts go on. Components get every signal's
  // default disposition back when they start.
  for (int sig : {SIGHUP, SIGUSR1, SIGUSR2}) signal(sig, SIG_IGN);
  // What a component orphans (a "setsid" child, a daemon) comes to us
  // rather than to init, so that it can be ended with the component.
  const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  if (!subreaper) HostLog("cannot become a child subreaper: orphans of components are not ended with them");
  const int signal_fd = signalfd(-1, &term, SFD_CLOEXEC);
  const int stop_fd = eventfd(0, EFD_CLOEXEC);
  if (signal_fd < 0 || stop_fd < 0) {
    HostLog("cannot make the wake-up descriptors");
    return kExitFailure;
  }

  int code;
  RefusalChannel refusals;
  {
    auto tell = [&refusals](const CZEVComponentContext& c, const std::string& reason) { refusals.Send(c, reason); };
    auto ended = [&refusals](const CZEVComponentContext& c, int status) { refusals.SendEnded(c, status); };
    ComponentSupervisor supervisor(Clock::Real(),
                                   {argument.process_group, GetCommonDataDir(), subreaper, tell, ended});
    auto* receiver = new HostReceiver(argument.node_name, &supervisor, &refusals, stop_fd);
    {
      pubsdk::CRpcTermSettings bus(GetCommonDataDir());
      // Before the join: a start may come as soon as the host is on the bus.
      refusals.Attach(&bus);
      if (!bus.Join(argument.node_name, receiver)) {
        HostLog("cannot join the bus as " + argument.node_name);
        code = kExitFailure;
      } else {
        code = WaitForEnd(stop_fd, signal_fd);
        supervisor.StopAll(kStopAllGraceMs);
      }
      refusals.Attach(nullptr);
      bus.Leave();
    }
    receiver->Release();
  }
  close(stop_fd);
  close(signal_fd);
  return code;
}

}  // namespace zev
