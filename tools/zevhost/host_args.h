// The host program's one command-line argument: the node name it joins the
// bus under, with a ':' placed before the last "--nodeindex" so that the
// process group it serves can be read back from it.
#ifndef ZEV_TOOLS_ZEVHOST_HOST_ARGS_H_
#define ZEV_TOOLS_ZEVHOST_HOST_ARGS_H_

#include <string>

namespace zev {

// The text every host node name starts with.
extern const char kHostNodePrefix[];  // "zevhost-6D0D8672-16C9-41E7-BE4F-B88DEBB4D15B-"

struct HostArgument {
  // The argument with the ':' right before the last "--nodeindex" removed.
  std::string node_name;
  // What lies between kHostNodePrefix and ":--nodeindex"; without the prefix,
  // everything before ":--nodeindex". May itself hold ':'.
  std::string process_group;
};

// Reads `argument`. False (with the reason in *why) when it holds no
// "--nodeindex" or the last one is not preceded by ':'; *out may then be
// partly written. Pure: safe from any thread.
bool ParseHostArgument(const std::string& argument, HostArgument* out, std::string* why);

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_HOST_ARGS_H_
