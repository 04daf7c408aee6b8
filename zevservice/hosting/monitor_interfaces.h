// The host-process monitor as the component manager sees it: the monitor
// object offers IZEVMonitor, IPUBPlugin (Init, Uninit), IPUBPluginRun
// (Start, Stop) and IServiceCtrlConnectPoint, in the COM-like model of the
// bus layer (QueryInterface, AddRef, Release first; Release deletes).
// The manager holds the monitor through these interfaces only, so tests can
// hand it another implementation.
#ifndef ZEV_HOSTING_MONITOR_INTERFACES_H_
#define ZEV_HOSTING_MONITOR_INTERFACES_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bus/term_interfaces.h"
#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "contract/host_status.h"

namespace pubsdk {

// {C4E5F6AA-DFAD-4205-8B92-075C6A8DF607}
constexpr GUID IID_IZEVMonitor = {0xC4E5F6AA, 0xDFAD, 0x4205, {0x8B, 0x92, 0x07, 0x5C, 0x6A, 0x8D, 0xF6, 0x07}};
// {88E3C375-B6EA-4DD8-8C4E-FE00689AD25A}
constexpr GUID IID_IServiceCtrlConnectPoint = {
    0x88E3C375, 0xB6EA, 0x4DD8, {0x8C, 0x4E, 0xFE, 0x00, 0x68, 0x9A, 0xD2, 0x5A}};

// One host process as the monitor knows it (a row of its process table):
// the same row the host status file holds.
using MonitorHostInfo = HostStatusEntry;

// StartComponent's answers.
constexpr int32_t kStartSent = 0;
constexpr int32_t kStartBadContext = 1;
constexpr int32_t kStartResendScheduled = 2;
constexpr int32_t kStartNoGroup = 3;

struct IZEVMonitor : IUnknownBase {
  virtual std::vector<MonitorHostInfo> GetProcessTable() = 0;                                    // 3
  virtual int32_t NotifyToRestartAGroup(const std::string& group, const std::string& node) = 0;  // 4
  virtual int32_t RemoveGroup(const std::string& group) = 0;                                     // 5
  // `bytes` is one serialised CZEVComponentContext; answers kStart*.
  virtual int32_t StartComponent(const char* bytes, uint32_t length) = 0;  // 6
  // 1 when "stop" was sent, 0 when not.
  virtual int32_t StopComponant(const char* bytes, uint32_t length) = 0;  // 7
  virtual int32_t StopAll() = 0;                                           // 8
  // The same starts and stops for a context in hand. A monitor that only
  // takes the bytes is handed them serialised.
  virtual int32_t StartComponent(const CZEVComponentContext& context) {
    const std::string bytes = context.SerializeAsString();
    return StartComponent(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  virtual int32_t StopComponent(const CZEVComponentContext& context) {
    const std::string bytes = context.SerializeAsString();
    return StopComponant(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
};

// {5F0B2C1E-7A43-4E8D-9C61-3D2A8B4E7F10}
constexpr GUID IID_IZEVMonitorNotify = {0x5F0B2C1E, 0x7A43, 0x4E8D, {0x9C, 0x61, 0x3D, 0x2A, 0x8B, 0x4E, 0x7F, 0x10}};

// Offered by a monitor that tells its owner of changes to its table that no
// call of the owner made (a host refused a start).
struct IZEVMonitorNotify : IUnknownBase {
  // `changed` is called on a thread of the monitor with none of its locks
  // held, from Init until Uninit. Set before Init. It may read the table
  // (GetProcessTable) but must not call the monitor's other methods nor wait
  // for a thread that does.
  virtual void SetTableChanged(std::function<void()> changed) = 0;
};

struct IServiceCtrlConnectPoint : IUnknownBase {
  virtual int32_t ReceiveSessionNotify(uint32_t event, uint32_t session, const void* data) = 0;  // 3
};

}  // namespace pubsdk

#endif  // ZEV_HOSTING_MONITOR_INTERFACES_H_
