#include "agent/access.h"

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

static const char DEFAULT_TEXT[] =
    "# Hosts that may send UPS commands and reloads to port 2027, one per line: an IPv4\n"
    "# address or network (192.0.2.7, 192.0.2.0/24) and `command` (everything) or `read`\n"
    "# (\"ALL\" only). Loopback may always do everything; a host no line covers may read.\n";

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
        log_warning("upsagent: cannot read or create %s: only loopback may send commands",
                    path.c_str());
        size = 0;
    }
    std::vector<AccessRule> loaded;
    for (const TextLine &line : setting_lines(data, size)) {
        AccessRule r;
        if (parse_rule(line.text.c_str(), &r))
            loaded.push_back(r);
        else
            log_warning("upsagent: %s line %d is not \"ADDRESS[/BITS] read|command\": %.60s",
                        path.c_str(), line.number, line.text.c_str());
    }
    Guard g(lock);
    rules.swap(loaded);
    return readable ? static_cast<int>(rules.size()) : -1;
}

bool access_may_command(uint32_t address)
{
    if ((address >> 24) == 127)
        return true;
    Guard g(lock);
    const AccessRule *best = nullptr;
    for (const AccessRule &r : rules)
        if ((address & r.mask) == r.network && (!best || r.bits > best->bits))
            best = &r;
    return best && best->command;
}

// Makes room for one more key: the one with the oldest occurrence goes.
static void forget_oldest(AccessReports *table)
{
    auto oldest = table->begin();
    for (auto it = table->begin(); it != table->end(); ++it)
        if (it->second.last < oldest->second.last)
            oldest = it;
    if (oldest != table->end())
        table->erase(oldest);
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
    if (found == table->end() && table->size() >= ACCESS_TABLE_LIMIT)
        forget_oldest(table);
    (*table)[key] = {now, 0, now};
    return count;
}

static AccessReports lines; // by AccessLine, under `lock`

int access_line_due(int kind, double now)
{
    Guard g(lock);
    return access_report_due(&lines, static_cast<uint32_t>(kind), now);
}

void access_reports_forget(AccessReports *table, double now)
{
    for (auto it = table->begin(); it != table->end();) {
        if (now - it->second.at >= ACCESS_REPORT_SPACING && it->second.count == 0)
            it = table->erase(it);
        else
            ++it;
    }
}
