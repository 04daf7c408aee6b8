// The bus folder (<data_dir>/run/bus) and the files of its nodes.
//
// A node NODEID (8 upper-case hex digits) is alive while some process holds
// an exclusive flock on NODEID.lock; the holder writes its pid into that
// file and listens on NODEID.sock. The kernel drops the lock when the
// holder dies, so a held lock is the only proof of life: sockets and lock
// files may be left behind by a dead node, and only the next holder of the
// lock removes the stale socket.
#ifndef ZEV_TOOLS_ZEVRPC_BUS_FOLDER_H_
#define ZEV_TOOLS_ZEVRPC_BUS_FOLDER_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zev::rpc {

// Longest socket path that fits sockaddr_un::sun_path with its NUL.
size_t MaxSocketPathLength();

// "<data_dir>/run/bus" made ready for use: created when missing (the bus
// folder itself with mode 0700), owned by our effective uid, a real folder
// (not a link) and private (an existing one with wider rights is narrowed
// to 0700). Empty when any of that fails.
std::string PrepareBusFolder(const std::string& data_dir);

// "0A1B2C3D".
std::string NodeName(uint32_t node_id);
std::string LockPath(const std::string& folder, uint32_t node_id);
std::string SocketPath(const std::string& folder, uint32_t node_id);

// Takes node_id's lock in `folder`: opens (creating, mode 0600) the lock
// file, holds LOCK_EX on it and writes our pid into it. The returned
// descriptor (O_CLOEXEC) holds the lock until closed; -1 when another open
// file description holds it, in this process or another. Guards against the
// previous holder unlinking the file between our open and our lock.
int TakeNodeLock(const std::string& folder, uint32_t node_id);

// One live node found by ListLiveNodes.
struct LiveNode {
  uint32_t node_id = 0;
  pid_t pid = 0;  // 0 when the lock file held no readable pid
};

// The nodes whose lock files in `folder` are held right now, sorted by id.
// `own_id` is listed without probing (its lock is ours). Files whose lock is
// free belong to dead nodes and are skipped (left in place). False when the
// folder cannot be read.
bool ListLiveNodes(const std::string& folder, uint32_t own_id, std::vector<LiveNode>* nodes);

// Process-wide registry of the ids open in each bus folder, so that a
// second open of an id in this process is refused before it touches the
// file system. Claim answers false when the id is already claimed.
// Thread-safe.
bool ClaimIdInProcess(const std::string& folder, uint32_t node_id);
void ForgetIdInProcess(const std::string& folder, uint32_t node_id);

}  // namespace zev::rpc

#endif  // ZEV_TOOLS_ZEVRPC_BUS_FOLDER_H_
