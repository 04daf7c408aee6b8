// The record that the server strategy leaves in the registry after every
// pass (the default value of HKLM\kStrategyStatusKey), which the service's
// health check and `zevctl status` / `zevctl strategy` read.
//
// Format: one JSON object, written without blanks by JsonCpp (members in
// name order):
//   time, listed, installed, failed, next_pass  integers (milliseconds of the
//                                               wall clock for the times)
//   result, error                               texts
//   rollback_time, rollback                     the last rollback of a version
//                                               after a crash loop (wall
//                                               clock; its text), written
//                                               only once there was one
// A missing member reads as 0 or "", a member of the wrong type makes the
// record unreadable (the registry can be edited by hand).
//
// Versions: a later version adds members; it never changes the type or the
// meaning of a member here. A reader takes the members it knows and skips
// the others, so that an older zevctl reads a newer record. The writer here
// writes exactly the members above, which every reader reads (the rollback
// pair only once set).
#ifndef ZEV_CONTRACT_STRATEGY_STATUS_H_
#define ZEV_CONTRACT_STRATEGY_STATUS_H_

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace zev {

// HKLM key whose default value is the status of the last pass.
extern const char kStrategyStatusKey[];

// What the last pass did, as the registry keeps it.
struct StrategyStatus {
  int64_t time_ms = 0;     // wall clock at the end of the pass
  std::string result;      // "server", "stored copy" or "no catalogue"
  std::string error;       // the server's error text when it was not reached
  int64_t listed = 0;      // versions the catalogue lists
  int64_t installed = 0;   // of those, installed and offered
  int64_t failed = 0;      // installations that failed in the pass
  int64_t next_pass_ms = 0;  // wall clock of the next pass; 0: unknown
  int64_t rollback_time_ms = 0;  // wall clock of the last rollback; 0: none yet
  std::string rollback;          // what it did, both versions named
};
std::string FormatStrategyStatus(const StrategyStatus& status);
bool ParseStrategyStatus(const std::string& text, StrategyStatus* status);
bool ReadStrategyStatus(RegistryStore* registry, StrategyStatus* status);
// Writes the record of a pass; a `status` without a rollback keeps the one
// stored. False when the store refused it.
bool WriteStrategyStatus(RegistryStore* registry, StrategyStatus status);
// Sets the rollback pair of the stored record (made when there is none or
// it is unreadable). False when the store refused it.
bool RecordRollback(RegistryStore* registry, const std::string& text, int64_t time_ms);

// The Interval setting in effect, in seconds.
int64_t ReadIntervalSetting(RegistryStore* registry);

// Whether the record shows no pass for twice `interval_ms` at wall clock
// `now_ms`: a pass due at its next_pass has not ended one interval later, or
// a record without one is two intervals old. Either means the update thread
// is stuck or gone.
bool StrategyStalled(const StrategyStatus& status, int64_t interval_ms, int64_t now_ms);

}  // namespace zev

#endif  // ZEV_CONTRACT_STRATEGY_STATUS_H_
