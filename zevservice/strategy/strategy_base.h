// The common face of the catalogue sources (strategies), and the one rule by
// which two lists of catalogue entries become one: per application code,
// architecture and componentID the higher version wins, and on equal
// versions the entry of the second list.
#ifndef ZEV_STRATEGY_STRATEGY_BASE_H_
#define ZEV_STRATEGY_STRATEGY_BASE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/zevclasses/ZEVTypes.pb.h"
#include "model/component_proxy.h"

namespace zev {

// What a strategy calls, with its own source type, whenever the list it
// offers has changed. The strategies ignore its result.
using SourceChangedCallback = std::function<bool(CZEVComponentSourceType)>;

struct StrategyStatus;

class CZEVStrategyBase {
 public:
  CZEVStrategyBase() = default;
  virtual ~CZEVStrategyBase() = default;
  CZEVStrategyBase(const CZEVStrategyBase&) = delete;
  CZEVStrategyBase& operator=(const CZEVStrategyBase&) = delete;

  // Appends to *entries, in the strategy's own order, copies of the entries
  // it offers now. False when reading the source failed (what was appended
  // stays). Called on the strategy manager's threads.
  virtual bool GetComponents(std::vector<CZEVComponentProxy>* entries) = 0;

  // Keeps `callback` (not owned; it must outlive this strategy, or be
  // replaced before it goes) for the change reports. A null pointer is
  // ignored. Always true. Safe from any thread, also while reports are made.
  virtual bool SetChangedCallback(const SourceChangedCallback* callback);

  // Whether the installed files of `entry` may be used. Each strategy defines
  // what that takes.
  virtual bool CheckComponent(const CZEVComponentProxy& entry) = 0;

  // An operator's "update now": the source looks again at once. A source
  // that runs passes starts one and waits up to `timeout_ms` on its clock
  // for it to end (a timeout of 0 only starts it), setting *result (when
  // given) to the pass's record. True when the source looked again (a pass
  // ended); false when it has nothing to do or the wait ended first.
  virtual bool UpdateNow(int64_t /*timeout_ms*/, StrategyStatus* /*result*/) { return false; }
  // Ends the waits of UpdateNow under way, and any later ones, at once: the
  // owner is stopping.
  virtual void EndWaits() {}

 protected:
  // Calls the kept callback with `source`; false when none is kept.
  bool ReportChanged(CZEVComponentSourceType source) const;

 private:
  std::atomic<const SourceChangedCallback*> changed_callback_{nullptr};
};

// Whether the two entries name the same component: equal application code,
// architecture name and componentID, as exact byte strings. The version
// does not count.
bool IsSameComponent(const CZEVComponentProxy& x, const CZEVComponentProxy& y);

// Replaces *merged by the union of `a` and `b` in which twins
// (IsSameComponent) appear once:
//   - first every entry of `a` that has no twin in `b`, in the order of `a`;
//   - then, for every entry of `b` in its order, either that entry or, when
//     the first twin of it in `a` has a higher version (CompareVersion), that
//     twin of `a`.
// So an equal version goes to `b`; a second twin in `a` of one entry of `b`
// is dropped. Runs in time linear in the two lists (hash lookups).
// False with *error "server and local empty " when both lists are empty, and
// with "combined empty " when the result is empty (which one entry in either
// list rules out). *error is left alone on success and may be null.
bool MergeEntryLists(const std::vector<CZEVComponentProxy>& a, const std::vector<CZEVComponentProxy>& b,
                     std::vector<CZEVComponentProxy>* merged, std::string* error);

}  // namespace zev

#endif  // ZEV_STRATEGY_STRATEGY_BASE_H_
