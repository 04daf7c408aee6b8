// The address the HTTP endpoint binds, as the service reads it from the
// store; zevctl shows the same.
#ifndef ZEV_CONTRACT_BIND_ADDRESS_H_
#define ZEV_CONTRACT_BIND_ADDRESS_H_

#include <string>

#include "platform/registry.h"

namespace zev {

// The address the endpoint is to bind, from the setting BindAddress of HKLM
// in `registry` (not owned): the default value of kBindAddressSettingKey,
// else the older named value kBindAddressValueName of kServiceRegistryKey.
// "127.0.0.1" (or "localhost" in any case; blanks around either are
// ignored) gives "127.0.0.1", the loopback interface only; a missing or
// empty value, or "0.0.0.0", gives "0.0.0.0", all interfaces. Any other
// value is not honoured: the answer is "0.0.0.0" and *unrecognised (when
// given) receives the value; otherwise *unrecognised is cleared. Neither
// logs nor throws.
std::string ReadHttpBindAddress(RegistryStore* registry, std::string* unrecognised = nullptr);

}  // namespace zev

#endif  // ZEV_CONTRACT_BIND_ADDRESS_H_
