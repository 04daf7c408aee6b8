// Versions given up on this machine: a version that took the place of
// another and then failed in a crash loop is marked bad, with the entry of
// the version it replaced (the one rolled back to). The service keeps the
// marks in the registry beside the holds (kBadVersionsKey); the strategy
// manager applies them to its merged entries (ApplyBadVersions), so that a
// bad version is not started again until a source lists another version
// or an operator clears the mark (zevctl unhold).
//
// Format of the stored value: a JSON array of objects {"app", "component",
// "version", "previous"} (texts; "previous" empty when there was none) and,
// with a previous version, "entry" (Base64 of a serialised CZEVApplication
// holding its application's name and code and the component with that one
// version), "root" (its install root) and "source" (its source type). A
// value that does not parse reads as no marks (logged by the caller).
#ifndef ZEV_STRATEGY_BAD_VERSIONS_H_
#define ZEV_STRATEGY_BAD_VERSIONS_H_

#include <functional>
#include <string>
#include <vector>

#include "model/component_proxy.h"
#include "platform/registry.h"

namespace zev {

// HKLM key whose default value holds the marks.
extern const char kBadVersionsKey[];

struct BadVersion {
  std::string app;
  std::string component;
  std::string version;
  std::string previous;  // empty: there was none
  // The entry of `previous` as it was loaded; meaningful when `previous` is
  // not empty.
  CZEVComponentProxy previous_entry;
};

std::string FormatBadVersions(const std::vector<BadVersion>& marks);
// False, with *marks untouched, for a text that is not such an array.
bool ParseBadVersions(const std::string& text, std::vector<BadVersion>* marks);
// The stored marks; an absent value is none (true). False when the store
// cannot be read or the value does not parse.
bool ReadBadVersions(RegistryStore* registry, std::vector<BadVersion>* marks);
// Adds the mark, replacing one on the same component. False when the store
// could not be read or written.
bool MarkBadVersion(RegistryStore* registry, const BadVersion& mark);
// Removes the mark on (app, component) into *cleared (may be null). False
// when there was none or the store could not be read or written.
bool ClearBadVersion(RegistryStore* registry, const std::string& app, const std::string& component,
                     BadVersion* cleared);

const BadVersion* FindBadVersion(const std::vector<BadVersion>& marks, const std::string& app,
                                 const std::string& component);

// The merged entries with the marks applied: an entry in a version marked
// bad gives its place to the first entry of `offered` (what the sources
// offer) of the same component (IsSameComponent) in the mark's previous
// version, else to the mark's previous entry when it is of the same
// component; either only when `verify` passes it. Without one it is
// dropped: the component stays released. Other entries stay; the order is
// kept.
std::vector<CZEVComponentProxy> ApplyBadVersions(const std::vector<CZEVComponentProxy>& merged,
                                                 const std::vector<CZEVComponentProxy>& offered,
                                                 const std::vector<BadVersion>& marks,
                                                 const std::function<bool(const CZEVComponentProxy&)>& verify);

}  // namespace zev

#endif  // ZEV_STRATEGY_BAD_VERSIONS_H_
