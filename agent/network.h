// "Set/Network.ang": where port 3493 listens besides 127.0.0.1, and the
// certificate and key its STARTTLS uses. The file is optional and read once,
// when the server starts; a change takes a restart.
//
// One setting per line, blank lines and lines starting with '#' skipped:
//     listen ADDRESS         another IPv4 address for port 3493 (repeatable)
//     certificate PATH       PEM certificate, or chain with the server's first
//     key PATH               PEM private key of that certificate, unencrypted
//     tls-required           a session on an address other than 127.0.0.0/8
//                            must STARTTLS before USERNAME, PASSWORD and the
//                            requests that need a login
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The file's name below the program directory.
constexpr const char *NETWORK_FILE = "Set/Network.ang";

struct NetworkSettings {
    // The IPv4 addresses (host byte order) port 3493 binds, each once:
    // 127.0.0.1 first, then the `listen` lines in their order. An address
    // already in the list is not added again, and a `listen 0.0.0.0` (every
    // local address) replaces the whole list, since it covers them all.
    std::vector<uint32_t> listen{0x7f000001};
    // The `certificate` and `key` lines (the last of each counts); a path that
    // does not start with '/' is taken below the program directory. Empty:
    // no such line, and STARTTLS is not offered without both.
    std::string certificate;
    std::string key;
    // A `tls-required` line: a session that reached a non-loopback address
    // gets ERR ACCESS-DENIED for a password or a login before STARTTLS.
    bool tls_required = false;
};

// Resets *settings to the defaults above, then reads `path` into it. Each
// line that is no setting (an unknown word, a missing or extra value, an
// address that is not IPv4) is skipped after one line on standard output
// naming the file and the line's number. Returns the number of settings
// taken; 0 for a missing file (no line printed); -1, after one line, for a
// file that exists but cannot be read (the defaults hold).
int network_read(const std::string &path, NetworkSettings *settings);
