// The systemd unit of the service: one text, written by "zevsvc install"
// and shipped in the Debian package.
#ifndef ZEV_HOST_SYSTEMD_UNIT_H_
#define ZEV_HOST_SYSTEMD_UNIT_H_

#include <string>

namespace zev {

extern const char kServiceUnitName[];         // "zevsvc.service"
extern const char kServiceDescription[];      // the unit's Description=

// Renders the unit whose ExecStart runs `program` (an absolute path, put in
// double quotes with "%" written as "%%", so that systemd neither splits nor
// expands it). False with the reason in *error for a path that is not
// absolute or holds a control character (a line feed would add directives),
// a double or single quote, or a backslash (escapes inside quotes).
bool RenderServiceUnit(const std::string& program, std::string* unit, std::string* error);

}  // namespace zev

#endif  // ZEV_HOST_SYSTEMD_UNIT_H_
