// Exit codes of the zevdownloader program (tools/zevdownloader), which the
// service's downloader driver reads: it treats 0 as success and reports
// every other code as "down process ret:" followed by the code, except
// kExitStopped, which it reads as "download task stoped", and kExitTooLarge,
// which it reads as "download larger than declared size".
#ifndef ZEV_CONTRACT_DOWNLOADER_EXIT_CODES_H_
#define ZEV_CONTRACT_DOWNLOADER_EXIT_CODES_H_

namespace zev::downloader {

// The file was fetched completely and renamed to its final name.
constexpr int kExitOk = 0;
// The command line is wrong (unknown or repeated option, a second URL, a
// missing -o or -d, a NAME that is not a plain file name, a malformed URL).
constexpr int kExitUsage = 1;
// The target directory could not be created.
constexpr int kExitFolder = 2;
// The partial file could not be opened or written.
constexpr int kExitWrite = 3;
// The target file system lacks the space for the announced length, or a
// write ran out of space.
constexpr int kExitDiskFull = 4;
// The connection could not be made or broke off (name resolution, connect,
// reset, a body shorter than its Content-Length, a TLS failure).
constexpr int kExitNetwork = 5;
// Less than one byte per second arrived for the whole stall limit.
constexpr int kExitStall = 6;
// The server answered with an HTTP status of 400 or more, redirected too
// often, or a file: source could not be read or was refused (a host other
// than none or localhost, not a regular file, not readable by every user).
constexpr int kExitSource = 7;
// The URL, or a redirect, names a protocol other than http, https (and
// file for the first URL).
constexpr int kExitProtocol = 8;
// The complete partial file could not be renamed to its final name.
constexpr int kExitRename = 9;
// The body (or the file of a file: URL) is larger than the --max-size
// limit. The transfer ends as soon as that shows, before anything beyond
// the limit is written, and the partial file is removed.
constexpr int kExitTooLarge = 10;
// SIGTERM or SIGINT arrived, or the parent process ended. The value is the
// low byte of -2, the code the driver's own stop uses: a driver that keeps
// exit codes as 32-bit values compares the code with 254 or with -2 after
// sign extension of the low byte. The partial file stays for a resume.
constexpr int kExitStopped = 254;

}  // namespace zev::downloader

#endif  // ZEV_CONTRACT_DOWNLOADER_EXIT_CODES_H_
