// Turning a component context into a child process: where the component is
// installed, which file to run and how, with what environment, and the
// start of the child itself.
#ifndef ZEV_TOOLS_ZEVHOST_COMPONENT_LAUNCH_H_
#define ZEV_TOOLS_ZEVHOST_COMPONENT_LAUNCH_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "common/zevclasses/ZEVCommonDefine.pb.h"

namespace zev {

// The architectures whose folders are looked for, this machine's own first
// (x64 on x86_64, ARMv7 on aarch64/arm, ...), then the others in enum order.
std::vector<CZEVArchType> ArchitectureOrder();

// The root of the context's install folders: the manifest's downloadDir
// without '"', or, when that is empty, `common_dir`/Varnel/ZEV/download.
std::string InstallRootFor(const CZEVComponentContext& context, const std::string& common_dir);

// The folder the catalogue installs the context's component into for `arch`:
// the manifest's downloadDir without '"' (or, when that is empty,
// `common_dir`/Varnel/ZEV/download) / appCode / componentID / version /
// architecture name. Computed by CZEVComponentProxy::GetInstallDir.
std::string InstallDirFor(const CZEVComponentContext& context, CZEVArchType arch, const std::string& common_dir);

// The first folder of InstallDirFor over ArchitectureOrder that exists. False
// with *why (naming the first candidate) when none does.
bool FindInstallDir(const CZEVComponentContext& context, const std::string& common_dir, std::string* dir,
                    std::string* why);

// Resolves `entry_point` ("\" read as "/") inside `install_dir`. Refuses an
// empty or absolute entry point, one with a ".." component, one that does
// not exist or is not a regular file, and one whose real path (symbolic
// links followed) lies outside the real path of `install_dir`, and one that
// another user could change (IsTrustedFile: the file and every folder above
// it belong to root or this user and nobody else can write them). True with
// the real path in *path; false with the reason in *why.
bool ResolveEntryPoint(const std::string& install_dir, const std::string& entry_point, std::string* path,
                       std::string* why);

// The argument vector that runs the file `path`: {path} when it is
// executable; {interpreter, [one argument], path} from its "#!" line when it
// is not executable but starts with one. False with *why otherwise.
bool BuildComponentArgv(const std::string& path, std::vector<std::string>* argv, std::string* why);

// A user a component runs as (the context's runAs), looked up before the
// fork: the child may not read the user database.
struct RunAsUser {
  std::string name;
  std::string home;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups (getgrouplist), the primary one among them
};

// The user `name` and its groups. False with *why when there is no such user.
bool LookUpRunAsUser(const std::string& name, RunAsUser* user, std::string* why);

// Whether `path` and every folder above it up to `root` (both taken as real
// paths; `path` must lie in `root`) belong to root and neither their group
// nor others may write them, so that a component running as another user
// (even one in root's group) cannot change what it runs. False with *why
// naming the first that fails.
bool IsRootOnlyUpTo(const std::string& path, const std::string& root, std::string* why);

// Makes the component's data folder `common_dir`/Varnel/ZEV/data/appCode/
// componentID for `user`: the folders above it as root's (0755 when made
// here; an existing one must be root's and not writable by its group or
// others), the folder itself private first (0700) and then handed to the
// user. Each level is opened with O_NOFOLLOW below the one above it, so a
// link planted anywhere on the way cannot send the chown elsewhere. True
// with the folder's path; false with *why.
bool PrepareDataFolder(const std::string& common_dir, const CZEVComponentContext& context, const RunAsUser& user,
                       std::string* path, std::string* why);

// The child's environment: this process's, with ZEV_APP_CODE,
// ZEV_COMPONENT_ID, ZEV_COMPONENT_VERSION, ZEV_COMPONENT_DIR,
// ZEV_PROCESS_GROUP, ZEV_EXTEND_PARAMS, ZEV_PORT_RANGE and
// ZEV_COMMON_APPDATA set (replacing any inherited value) and without the
// host's ZEV_INSTANCE_ID, as "KEY=value". With `user` also
// ZEV_COMPONENT_DATA (`data_dir`), and HOME, USER and LOGNAME as the user's.
std::vector<std::string> ComponentEnvironment(const CZEVComponentContext& context, const std::string& install_dir,
                                              const std::string& process_group, const std::string& common_dir,
                                              const RunAsUser* user = nullptr, const std::string& data_dir = "");

struct LaunchPlan {
  std::vector<std::string> argv;  // argv[0] is the file run (a path)
  std::vector<std::string> env;   // "KEY=value", the whole environment
  std::string working_dir;
  // Set: the child takes the user's groups, gid and uid (in that order) and
  // PR_SET_NO_NEW_PRIVS before it enters working_dir and execs.
  std::optional<RunAsUser> user{};
};

// Starts `plan` as a child of the calling thread: working folder
// plan.working_dir, standard input /dev/null, standard output and error
// inherited (/dev/null too when it runs as another user), a session and process group of its own (their id is the child's pid), every
// descriptor from 3 up closed, default signal dispositions and an empty
// signal mask, and SIGKILL as its parent-death signal.
//
// The kernel sends the parent-death signal when the THREAD that forked
// exits, not the process: call this only from a thread that lives as long as
// the children should.
//
// Returns once the child has exec'd (so the parent-death signal is armed):
// true with the child's pid and a pidfd for it (the caller owns the
// descriptor and reaps through it); false with *why when the child could not
// be made, could not become plan.user, could not enter the folder or could
// not exec (the failed child is reaped here).
bool SpawnComponent(const LaunchPlan& plan, pid_t* pid, int* pidfd, std::string* why);

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_COMPONENT_LAUNCH_H_
