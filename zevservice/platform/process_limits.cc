#include "platform/process_limits.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace zev {

namespace {

// Digits only, without overflow.
bool ParseWhole(const std::string& digits, uint64_t* value) {
  if (digits.empty() || digits.size() > 20) return false;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

std::string SafeName(const std::string& name) {
  std::string out;
  for (char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || c == '.';
    out += keep ? c : '_';
  }
  return out;
}

std::string ReadFirstLineMatching(const std::string& path, const std::string& prefix) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
  }
  return std::string();
}

bool InGroup(pid_t pid, const std::string& leaf) {
  const std::string path = ReadFirstLineMatching("/proc/" + std::to_string(pid) + "/cgroup", "0::");
  return path.size() >= leaf.size() && path.compare(path.size() - leaf.size(), leaf.size(), leaf) == 0 &&
         (path.size() == leaf.size() || path[path.size() - leaf.size() - 1] == '/');
}

// ---- Under systemd ----

class Bus {
 public:
  ~Bus() {
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
  }
  sd_bus* bus = nullptr;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
};

std::string Errno(const char* what, int r) { return std::string(what) + ": " + std::strerror(-r); }

// One StartTransientUnit call; the scope's processes are PIDs, its limits
// take effect when the job runs. `oom_continue`: an OOM kill ends only the
// process the kernel chose, not the whole scope.
bool StartScope(pid_t pid, const std::string& unit, const std::string& slice, const ProcessLimits& limits,
                bool oom_continue, std::string* why) {
  Bus b;
  int r = sd_bus_open_system(&b.bus);
  if (r < 0) {
    *why = Errno("cannot reach systemd's D-Bus", r);
    return false;
  }
  r = sd_bus_message_new_method_call(b.bus, &b.call, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", "StartTransientUnit");
  if (r >= 0) r = sd_bus_message_append(b.call, "ss", unit.c_str(), "fail");
  if (r >= 0) r = sd_bus_message_open_container(b.call, 'a', "(sv)");
  const std::string description = "limits of " + unit.substr(0, unit.size() - 6);
  if (r >= 0) r = sd_bus_message_append(b.call, "(sv)", "Description", "s", description.c_str());
  if (r >= 0 && !slice.empty()) r = sd_bus_message_append(b.call, "(sv)", "Slice", "s", slice.c_str());
  if (r >= 0) r = sd_bus_message_append(b.call, "(sv)", "PIDs", "au", 1, static_cast<uint32_t>(pid));
  if (r >= 0) r = sd_bus_message_append(b.call, "(sv)", "Delegate", "b", 0);
  if (r >= 0) r = sd_bus_message_append(b.call, "(sv)", "CollectMode", "s", "inactive-or-failed");
  if (r >= 0 && oom_continue) r = sd_bus_message_append(b.call, "(sv)", "OOMPolicy", "s", "continue");
  if (r >= 0 && limits.memory_max_bytes != 0) {
    r = sd_bus_message_append(b.call, "(sv)", "MemoryAccounting", "b", 1);
    if (r >= 0) r = sd_bus_message_append(b.call, "(sv)", "MemoryMax", "t", limits.memory_max_bytes);
  }
  if (r >= 0 && limits.cpu_quota_usec_per_sec != 0) {
    r = sd_bus_message_append(b.call, "(sv)", "CPUQuotaPerSecUSec", "t", limits.cpu_quota_usec_per_sec);
  }
  if (r >= 0) r = sd_bus_message_close_container(b.call);
  if (r >= 0) r = sd_bus_message_append(b.call, "a(sa(sv))", 0);
  if (r < 0) {
    *why = Errno("cannot build the StartTransientUnit call", r);
    return false;
  }
  r = sd_bus_call(b.bus, b.call, 10 * 1000 * 1000, &b.error, &b.reply);
  if (r < 0) {
    *why = std::string("systemd refused the scope ") + unit + ": " +
           (b.error.message != nullptr ? b.error.message : std::strerror(-r));
    return false;
  }
  return true;
}

bool ConfineUnderSystemd(pid_t pid, const std::string& name, const ProcessLimits& limits, std::string* where,
                         std::string* why) {
  char* own_slice = nullptr;
  std::string slice;
  if (sd_pid_get_slice(0, &own_slice) >= 0 && own_slice != nullptr) slice = own_slice;
  std::free(own_slice);
  const std::string unit = name + "-" + std::to_string(pid) + ".scope";
  if (!StartScope(pid, unit, slice, limits, true, why)) {
    // systemd before 253 knows no OOMPolicy for scopes (and ends no scope
    // for an OOM kill either).
    if (why->find("OOMPolicy") == std::string::npos || !StartScope(pid, unit, slice, limits, false, why)) {
      return false;
    }
  }
  // The job that moves the process runs right after the call's answer; the
  // process must be in place before it starts anything.
  for (int i = 0; i < 200 && !InGroup(pid, unit); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!InGroup(pid, unit)) {
    *why = "systemd made " + unit + " but process " + std::to_string(pid) + " is not in it after 2 s";
    return false;
  }
  *where = (slice.empty() ? std::string() : slice + "/") + unit;
  return true;
}

// ---- cgroup v2 by hand ----

std::string Cgroup2Mount() {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0) continue;
    std::istringstream fields(line.substr(0, dash));
    std::string id, parent, device, root, mount;
    fields >> id >> parent >> device >> root >> mount;
    if (root == "/") return mount;
  }
  return std::string();
}

bool WriteControl(const std::string& path, const std::string& text, std::string* why) {
  const int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int saved = errno;
  close(fd);
  if (!ok) *why = "cannot write \"" + text + "\" to " + path + ": " + std::strerror(saved);
  return ok;
}

bool HasController(const std::string& dir, const std::string& controller) {
  std::ifstream in(dir + "/cgroup.controllers");
  std::string word;
  while (in >> word) {
    if (word == controller) return true;
  }
  return false;
}

// Makes the group "NAME-PID" in `parent`, after removing the empty groups
// that earlier processes of the same name left there; empty on failure.
std::string MakeGroup(const std::string& parent, const std::string& name, pid_t pid, std::string* why) {
  if (DIR* dir = opendir(parent.c_str())) {
    const std::string prefix = name + "-";
    while (dirent* entry = readdir(dir)) {
      if (entry->d_type == DT_DIR && std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
        (void)unlinkat(dirfd(dir), entry->d_name, AT_REMOVEDIR);  // fails while processes are in it
      }
    }
    closedir(dir);
  }
  const std::string group = parent + "/" + name + "-" + std::to_string(pid);
  if (mkdir(group.c_str(), 0755) != 0 && errno != EEXIST) {
    *why = "cannot make " + group + ": " + std::strerror(errno);
    return std::string();
  }
  struct stat st;
  if (lstat(group.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    *why = group + " is not a folder of this user";
    return std::string();
  }
  return group;
}

bool ConfineInCgroup2(pid_t pid, const std::string& name, const ProcessLimits& limits, std::string* where,
                      std::string* why) {
  const std::string mount = Cgroup2Mount();
  std::string own = ReadFirstLineMatching("/proc/self/cgroup", "0::");
  if (mount.empty() || own.empty()) {
    *why = "no cgroup v2 hierarchy is mounted";
    return false;
  }
  // The new group goes beside the caller's own: a group that holds
  // processes cannot pass controllers to groups below it.
  std::string parent = own == "/" ? mount : mount + own.substr(0, own.rfind('/'));
  if (parent.empty()) parent = mount;
  const std::string memory = "memory", cpu = "cpu";
  for (const std::string* controller : {&memory, &cpu}) {
    const bool wanted = controller == &memory ? limits.memory_max_bytes != 0 : limits.cpu_quota_usec_per_sec != 0;
    if (!wanted) continue;
    if (!HasController(parent, *controller)) {
      *why = "the " + *controller + " controller is not available in " + parent;
      return false;
    }
    if (!WriteControl(parent + "/cgroup.subtree_control", "+" + *controller, why)) return false;
  }
  const std::string group = MakeGroup(parent, name, pid, why);
  if (group.empty()) return false;
  if (limits.memory_max_bytes != 0 &&
      !WriteControl(group + "/memory.max", std::to_string(limits.memory_max_bytes), why)) {
    return false;
  }
  if (limits.cpu_quota_usec_per_sec != 0 &&
      !WriteControl(group + "/cpu.max", std::to_string(limits.cpu_quota_usec_per_sec) + " 1000000", why)) {
    return false;
  }
  if (!WriteControl(group + "/cgroup.procs", std::to_string(pid), why)) return false;
  *where = group;
  return true;
}

// ---- cgroup v1, where the controllers have hierarchies of their own ----

bool HasWord(const std::string& list, const std::string& word) {
  std::istringstream words(list);
  for (std::string w; std::getline(words, w, ',');) {
    if (w == word) return true;
  }
  return false;
}

// Our own group in the v1 hierarchy that holds `controller`, as a folder;
// empty when there is none.
std::string OwnV1Group(const std::string& controller) {
  std::string path;
  {
    std::ifstream in("/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
      const size_t first = line.find(':'), second = line.find(':', first + 1);
      if (second != std::string::npos && HasWord(line.substr(first + 1, second - first - 1), controller)) {
        path = line.substr(second + 1);
        break;
      }
    }
  }
  if (path.empty()) return std::string();
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    std::string type, source, options;
    tail >> type >> source >> options;
    if (type != "cgroup" || !HasWord(options, controller)) continue;
    std::istringstream fields(line.substr(0, dash));
    std::string id, parent, device, root, mount;
    fields >> id >> parent >> device >> root >> mount;
    if (root == "/") return path == "/" ? mount : mount + path;
    if (path.compare(0, root.size(), root) == 0) return mount + path.substr(root.size());
  }
  return std::string();
}

bool ConfineInCgroup1(pid_t pid, const std::string& name, const ProcessLimits& limits, std::string* where,
                      std::string* why) {
  std::string memory, cpu;
  if (limits.memory_max_bytes != 0 && (memory = OwnV1Group("memory")).empty()) {
    *why = "no memory controller is mounted";
    return false;
  }
  if (limits.cpu_quota_usec_per_sec != 0 && (cpu = OwnV1Group("cpu")).empty()) {
    *why = "no cpu controller is mounted";
    return false;
  }
  // A v1 group may hold processes and groups at once: the new one goes
  // below the caller's own.
  std::string memory_group, cpu_group;
  if (!memory.empty()) {
    memory_group = MakeGroup(memory, name, pid, why);
    if (memory_group.empty() ||
        !WriteControl(memory_group + "/memory.limit_in_bytes", std::to_string(limits.memory_max_bytes), why)) {
      return false;
    }
  }
  if (!cpu.empty()) {
    cpu_group = MakeGroup(cpu, name, pid, why);
    // The quota per period of 100 ms.
    if (cpu_group.empty() || !WriteControl(cpu_group + "/cpu.cfs_period_us", "100000", why) ||
        !WriteControl(cpu_group + "/cpu.cfs_quota_us", std::to_string(limits.cpu_quota_usec_per_sec / 10), why)) {
      return false;
    }
  }
  for (const std::string* group : {&memory_group, &cpu_group}) {
    if (!group->empty() && !WriteControl(*group + "/cgroup.procs", std::to_string(pid), why)) return false;
  }
  *where = memory_group.empty() ? cpu_group : cpu_group.empty() ? memory_group : memory_group + " and " + cpu_group;
  return true;
}

}  // namespace

bool ParseMemoryMax(const std::string& text, uint64_t* bytes) {
  if (text.empty()) return false;
  uint64_t scale = 1;
  std::string digits = text;
  switch (text.back()) {
    case 'K': case 'k': scale = 1ULL << 10; break;
    case 'M': case 'm': scale = 1ULL << 20; break;
    case 'G': case 'g': scale = 1ULL << 30; break;
    case 'T': case 't': scale = 1ULL << 40; break;
    default: break;
  }
  if (scale != 1) digits.pop_back();
  uint64_t value = 0;
  if (!ParseWhole(digits, &value) || value == 0 || value > UINT64_MAX / scale) return false;
  *bytes = value * scale;
  return true;
}

bool ParseCpuQuota(const std::string& text, uint64_t* usec_per_sec) {
  if (text.size() < 2 || text.back() != '%') return false;
  uint64_t percent = 0;
  // 10000 µs per second for each percent; far beyond any machine's CPUs.
  if (!ParseWhole(text.substr(0, text.size() - 1), &percent) || percent == 0 || percent > 100000000) return false;
  *usec_per_sec = percent * 10000;
  return true;
}

bool ConfineProcess(pid_t pid, const std::string& name, const ProcessLimits& limits, std::string* where,
                    std::string* why) {
  const std::string safe = SafeName(name);
  if (sd_booted() > 0) return ConfineUnderSystemd(pid, safe, limits, where, why);
  std::string v2_why;
  if (ConfineInCgroup2(pid, safe, limits, where, &v2_why)) return true;
  if (ConfineInCgroup1(pid, safe, limits, where, why)) return true;
  *why = "cgroup v2: " + v2_why + "; cgroup v1: " + *why;
  return false;
}

}  // namespace zev
