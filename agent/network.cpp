#include "agent/network.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/address.h"
#include "store/paths.h"
#include "store/textfile.h"

static const char BLANKS[] = " \t";

// The reason a line is no setting; empty when it was taken into *s.
static std::string take_line(const std::string &word, const std::string &value,
                             NetworkSettings *s)
{
    if (word == "listen") {
        if (value.empty() || value.find_first_of(BLANKS) != std::string::npos)
            return "listen takes one IPv4 address";
        uint32_t address;
        if (!ipv4_parse(value, &address)) {
            in6_addr a6;
            if (inet_pton(AF_INET6, value.c_str(), &a6) == 1 ||
                value.find(':') != std::string::npos)
                return "\"" + value + "\" is an IPv6 address; port 3493 is served on IPv4 only";
            return "\"" + value + "\" is not an IPv4 address";
        }
        std::vector<uint32_t> &list = s->listen;
        bool covered = std::find(list.begin(), list.end(), address) != list.end() ||
                       std::find(list.begin(), list.end(), INADDR_ANY) != list.end();
        if (covered)
            return "";
        if (address == INADDR_ANY)
            list.clear(); // a second bind of a covered address would fail
        list.push_back(address);
        return "";
    }
    if (word == "certificate" || word == "key") {
        if (value.empty())
            return word + " takes a path";
        std::string path = value[0] == '/' ? value : program_dir() + value;
        (word == "key" ? s->key : s->certificate) = path;
        return "";
    }
    if (word == "tls-required") {
        if (!value.empty())
            return "tls-required takes no value";
        s->tls_required = true;
        return "";
    }
    return "not \"listen ADDRESS\", \"certificate PATH\", \"key PATH\" or \"tls-required\"";
}

int network_read(const std::string &path, NetworkSettings *settings)
{
    *settings = NetworkSettings{};
    int taken = read_word_lines(path, [settings](const std::string &word, const std::string &value) {
        return take_line(word, value, settings);
    });
    if (taken < 0)
        log_warning("upsagent: cannot read %s: %s; port 3493 on 127.0.0.1 only, no STARTTLS",
                    path.c_str(), strerror(errno));
    return taken;
}
