#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>

// Files named on the command line are read whole before they are parsed, so
// each is held to a size that fits what it holds: a device such as /dev/zero,
// a FIFO or a directory given by mistake is refused by name at once instead
// of blocking the start or eating memory.
namespace option_file {

constexpr size_t kConfigMax = size_t{1} << 20;     // a device configuration (JSON)
constexpr size_t kScenarioMax = size_t{16} << 20;  // a simulator scenario (JSON)
constexpr size_t kAuthMax = size_t{64} << 10;      // user names and password hashes
constexpr size_t kPemMax = size_t{1} << 20;        // certificates, CA bundles (Debian's is ~200 KiB)
constexpr size_t kKeyMax = size_t{64} << 10;       // one private key

// What a file of `mode` is, for a message: "a directory", "a FIFO", ...
const char* KindOf(mode_t mode);

// "64 KiB", "1 MiB", "1234 bytes".
std::string SizeText(size_t bytes);

// Reads the regular file `path`, given with `option` ("--http-auth"), of at
// most `limit` bytes; false with a message that starts with the option and
// names the file and what is wrong with it.
bool Read(const std::string& option, const std::string& path, size_t limit, std::string& text, std::string& error);

// The same tests without keeping the contents, for a file a library opens
// by path (a certificate handed to OpenSSL).
bool Check(const std::string& option, const std::string& path, size_t limit, std::string& error);

}  // namespace option_file
