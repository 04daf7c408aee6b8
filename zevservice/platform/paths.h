// Well-known folders, path pieces and file-system helpers.
//
// None of these functions throws or logs; each reports failure by its result.
// All are safe to call from any thread.
#ifndef ZEV_PLATFORM_PATHS_H_
#define ZEV_PLATFORM_PATHS_H_

#include <string>

namespace zev {

// The common application-data folder, without a trailing "/":
// $ZEV_COMMON_APPDATA when set and not empty; else /var/lib/zev when it exists
// or can be created; else $XDG_DATA_HOME/zev (or $HOME/.local/share/zev); else
// $TMPDIR/zev (or /tmp/zev), each when it exists or can be created; else
// empty. Root has no fallbacks after /var/lib/zev: it gets empty instead. The first non-empty answer stays in effect for the life of the
// process; after an empty answer the lookup runs again on the next call.
std::string GetCommonDataDir();
// Forgets the remembered answer of GetCommonDataDir: the next call looks the
// folder up again (a loaded library that must follow its host's setting;
// tests that move the folder).
void ForgetCommonDataDir();

// The folder below the common data folder that holds runtime objects (lock
// files of named mutexes, sockets): "<common>/run", created on demand with
// mode 0711 (only this user may write or list it; the sockets in it stay
// reachable by name).
// Empty when there is no common data folder or it cannot be made.
std::string GetRuntimeDir();

// Full path of the running executable (/proc/self/exe); empty on failure.
std::string GetModulePath();
// GetModulePath cut after its last "/", the "/" kept.
std::string GetModuleDir();

// The program's version ("2.0.1.0") when `path` is the running executable;
// empty for any other file (Linux executables carry no version resource).
std::string GetFileVersionText(const std::string& path);
// The version compiled into this build.
std::string GetProgramVersion();

// *name := the part after the last "/" or "\" of `path`, and true; when the
// path holds neither, *name := path and false.
bool GetFileName(const std::string& path, std::string* name);
// The part after / before the last "/"; empty when there is none.
std::string GetUrlFileName(const std::string& text);
std::string GetUrlDir(const std::string& text);
// Whether the parts after the last "/" of a and b are equal (a text without
// "/" counts whole).
bool SameUrlFileName(const std::string& a, const std::string& b);
// *stem := the name without its last extension. False for an empty name, a
// name without ".", or one whose last "." stands at position 0 or 1.
bool getRawname(const std::string& name, std::string* stem);

// True when the path exists and is not a folder; false for an empty path.
bool FileExists(const std::string& path);
// True when the path exists and is a folder.
bool DirectoryExists(const std::string& path);
// Creates the folder and every missing parent. True when it exists at the
// end; false for an empty path or when a part cannot be made.
bool CreateDirectories(const std::string& path);
// Creates `target` (an existing one is fine) and copies every entry of
// `source` into it, sub-folders recursively. Files that already exist in the
// target stay as they are. False at the first failure.
bool CopyDirectoryTree(const std::string& source, const std::string& target);
// Copies a file, replacing an existing target. The copy is written beside the
// target and renamed over it, so the target is never left half-written.
bool CopyFileTo(const std::string& source, const std::string& target);
// Writes `data` to `path` the same way (temporary file, fsync, rename).
// Without `durable` the fsync is left out: readers still never see a
// half-written file, but a power cut may lose the newest contents, which
// suits files that are written again on every change.
bool WriteFileAtomically(const std::string& path, const std::string& data, bool durable = true);
// Reads a whole file; false when it cannot be read.
bool ReadFileToString(const std::string& path, std::string* data);
// Writes all `len` bytes, resuming after signals and short writes. False on
// the first failed write (errno tells why).
bool WriteAll(int fd, const char* data, size_t len);
// Joins two path pieces with exactly one "/".
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace zev

#endif  // ZEV_PLATFORM_PATHS_H_
