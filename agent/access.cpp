#include "agent/access.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/log.h"
#include "base/address.h"
#include "store/paths.h"
#include "store/textfile.h"

using Guard = std::lock_guard<std::mutex>;

struct AccessRule {
    uint32_t network; // host byte order, already masked
    uint32_t mask;
    int bits;         // prefix length, for "most specific wins"
    bool command;     // `command`; false: `read`
};

static std::mutex lock;
static std::vector<AccessRule> rules;
static std::vector<AccessGroup> groups;

static const char DEFAULT_TEXT[] =
    "# Hosts that may send UPS commands and reloads to port 2027, one per line: an IPv4\n"
    "# address or network (192.0.2.7, 192.0.2.0/24) and `command` (everything) or `read`\n"
    "# (\"ALL\" only); a host no line covers may read. On this host, processes running as\n"
    "# root may do everything, and those of a group named by a line `group NAME`.\n";

// A "group NAME" line: true with *name set; false when the line is not one.
static bool parse_group(const char *line, std::string *name)
{
    char word[16], what[64], extra[2];
    if (sscanf(line, "%15s %63s %1s", word, what, extra) != 2 || strcmp(word, "group") != 0)
        return false;
    *name = what;
    return true;
}

// The system's record of group `name`; false (with a line) when it has none.
static bool look_up_group(const std::string &path, int number, const std::string &name,
                          AccessGroup *out)
{
    std::vector<char> buf(16384);
    struct group g, *found = nullptr;
    int err = getgrnam_r(name.c_str(), &g, buf.data(), buf.size(), &found);
    if (err == ERANGE) {
        buf.resize(1 << 20);
        err = getgrnam_r(name.c_str(), &g, buf.data(), buf.size(), &found);
    }
    if (!found) {
        log_warning("upsagent: %s line %d: no group \"%.60s\" on this system%s%s: it grants "
                    "nothing", path.c_str(), number, name.c_str(), err ? ": " : "",
                    err ? strerror(err) : "");
        return false;
    }
    out->name = name;
    out->gid = g.gr_gid;
    out->members.clear();
    for (char **m = g.gr_mem; m && *m; m++)
        out->members.emplace_back(*m);
    return true;
}

// One rule line; false when it is not one.
static bool parse_rule(const char *line, AccessRule *out)
{
    char where[64], what[16], extra[2];
    if (sscanf(line, "%63s %15s %1s", where, what, extra) != 2)
        return false;
    if (strcmp(what, "command") != 0 && strcmp(what, "read") != 0)
        return false;
    Ipv4Network n;
    if (!ipv4_parse_network(where, &n))
        return false;
    out->network = n.network;
    out->mask = n.mask;
    out->bits = n.bits;
    out->command = strcmp(what, "command") == 0;
    return true;
}

int access_load(const std::string &path)
{
    char data[16384];
    int size = read_or_create(path, data, sizeof data - 1, DEFAULT_TEXT);
    bool readable = size >= 0;
    if (!readable) { // then no entry at all
        log_warning("upsagent: cannot read or create %s: only root on this host may send "
                    "commands",
                    path.c_str());
        size = 0;
    }
    std::vector<AccessRule> loaded;
    std::vector<AccessGroup> loaded_groups;
    for (const TextLine &line : setting_lines(data, size)) {
        AccessRule r;
        std::string name;
        AccessGroup group;
        if (parse_rule(line.text.c_str(), &r))
            loaded.push_back(r);
        else if (!parse_group(line.text.c_str(), &name))
            log_warning("upsagent: %s line %d is not \"ADDRESS[/BITS] read|command\" or \"group "
                        "NAME\": %.60s", path.c_str(), line.number, line.text.c_str());
        else if (look_up_group(path, line.number, name, &group))
            loaded_groups.push_back(std::move(group));
    }
    Guard g(lock);
    rules.swap(loaded);
    groups.swap(loaded_groups);
    return readable ? static_cast<int>(rules.size() + groups.size()) : -1;
}

bool access_user_in_groups(const std::vector<AccessGroup> &list, uint32_t primary_gid,
                           const char *user)
{
    for (const AccessGroup &g : list)
        if (g.gid == primary_gid ||
            std::find(g.members.begin(), g.members.end(), user) != g.members.end())
            return true;
    return false;
}

bool access_uid_in_groups(uint32_t uid)
{
    std::vector<AccessGroup> list;
    {
        Guard g(lock);
        list = groups;
    }
    if (list.empty())
        return false;
    std::vector<char> buf(16384);
    struct passwd pw, *found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found)
        return false;
    return access_user_in_groups(list, pw.pw_gid, pw.pw_name);
}

std::string access_group_names()
{
    Guard g(lock);
    std::string names;
    for (const AccessGroup &group : groups) {
        if (!names.empty())
            names += ", ";
        names += group.name;
    }
    return names;
}

bool access_may_command(uint32_t address, int64_t uid)
{
    if ((address >> 24) == 127)
        return uid == 0 || (uid > 0 && access_uid_in_groups(static_cast<uint32_t>(uid)));
    Guard g(lock);
    const AccessRule *best = nullptr;
    for (const AccessRule &r : rules)
        if ((address & r.mask) == r.network && (!best || r.bits > best->bits))
            best = &r;
    return best && best->command;
}

int access_report_due(AccessReports *table, uint32_t key, double now)
{
    auto found = table->find(key);
    if (found != table->end() && now >= found->second.at &&
        now - found->second.at < ACCESS_REPORT_SPACING) {
        found->second.count++;
        found->second.last = now;
        return 0;
    }
    int count = found == table->end() ? 1 : found->second.count + 1;
    if (found == table->end())
        access_table_make_room(table, [](const AccessReport &r) { return r.last; });
    (*table)[key] = {now, 0, now};
    return count;
}

static AccessReports lines; // by AccessLine, under `lock`

int access_line_due(int kind, double now)
{
    Guard g(lock);
    return access_report_due(&lines, static_cast<uint32_t>(kind), now);
}
