// Operators' holds: a component kept at one version while newer ones are
// listed. Each hold names an application code, a componentID and a version
// text; the service keeps them in the registry (kHoldsKey) so that they
// outlive restarts, and applies them to the strategy manager's merged
// entries (ApplyHolds) and to the server strategy's downloads (HeldAway).
//
// Format of the stored value: a JSON array of objects {"app", "component",
// "version"}, all texts, in the order the holds were made. A value that does
// not parse reads as no holds (logged by the caller).
#ifndef ZEV_STRATEGY_HOLDS_H_
#define ZEV_STRATEGY_HOLDS_H_

#include <string>
#include <vector>

#include "model/component_proxy.h"
#include "platform/registry.h"

namespace zev {

// HKLM key whose default value holds the holds.
extern const char kHoldsKey[];

struct Hold {
  std::string app;
  std::string component;
  std::string version;
  bool operator==(const Hold& other) const {
    return app == other.app && component == other.component && version == other.version;
  }
};

std::string FormatHolds(const std::vector<Hold>& holds);
// False, with *holds untouched, for a text that is not such an array.
bool ParseHolds(const std::string& text, std::vector<Hold>* holds);
// The stored holds; an absent value is no holds (true). False when the
// store cannot be read or the value does not parse.
bool ReadHolds(RegistryStore* registry, std::vector<Hold>* holds);
bool WriteHolds(RegistryStore* registry, const std::vector<Hold>& holds);

// The hold on (app, component), or null.
const Hold* FindHold(const std::vector<Hold>& holds, const std::string& app, const std::string& component);
// Sets (replaces) or, with an empty version, removes the hold on (app,
// component). True when *holds changed.
bool SetHold(std::vector<Hold>* holds, const Hold& hold);

// Whether `entry` is of a held component in a version other than the held
// one: such a version is neither installed nor started.
bool HeldAway(const std::vector<Hold>& holds, const CZEVComponentProxy& entry);

// The merged entries with the holds applied. For each entry of a held
// component in another version: the first entry of `offered` (what the
// sources offer, in any order) of the same component and architecture
// (IsSameComponent) in the held version takes its place; without one, the
// entry is dropped when its version is newer than the held one and kept
// when it is older. Entries of components without a hold, and those in the
// held version, stay as they are; the order is kept.
std::vector<CZEVComponentProxy> ApplyHolds(const std::vector<CZEVComponentProxy>& merged,
                                           const std::vector<CZEVComponentProxy>& offered,
                                           const std::vector<Hold>& holds);

}  // namespace zev

#endif  // ZEV_STRATEGY_HOLDS_H_
