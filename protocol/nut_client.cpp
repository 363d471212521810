#include "protocol/nut_client.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

// ---- where the server is ------------------------------------------------

static bool is_alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

static bool ups_name_ok(const std::string &name)
{
    if (name.empty() || name.size() > NUT_UPS_NAME_MAX || !is_alnum(name[0]))
        return false;
    for (char c : name)
        if (!is_alnum(c) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

static bool host_name_ok(const std::string &host)
{
    if (host.empty() || host.size() > 253)
        return false;
    size_t start = 0;
    while (true) {
        size_t dot = host.find('.', start);
        std::string label = host.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!is_alnum(c) && c != '-')
                return false;
        if (dot == std::string::npos)
            return true;
        start = dot + 1;
    }
}

// Digits only, no leading zero, 1..65535.
static bool port_ok(const std::string &text, int *port)
{
    if (text.empty() || text.size() > 5 || text[0] == '0')
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    int p = atoi(text.c_str());
    if (p < 1 || p > 65535)
        return false;
    *port = p;
    return true;
}

bool nut_target_parse(const std::string &text, NutTarget *target, std::string *why)
{
    size_t at = text.find('@');
    if (at == std::string::npos) {
        *why = "no '@' between the UPS name and the host";
        return false;
    }
    NutTarget t;
    t.ups = text.substr(0, at);
    if (!ups_name_ok(t.ups)) {
        *why = "the UPS name is empty, too long or holds a character other than letters, digits, '-', '_', '.'";
        return false;
    }
    std::string rest = text.substr(at + 1);
    std::string port_text;
    bool has_port = false;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos) {
            *why = "an IPv6 address without its closing ']'";
            return false;
        }
        t.host = rest.substr(1, close - 1);
        in6_addr a6;
        if (t.host.empty() || inet_pton(AF_INET6, t.host.c_str(), &a6) != 1) {
            *why = "not an IPv6 address in the brackets";
            return false;
        }
        t.ipv6 = true;
        std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                *why = "text after the IPv6 address that is no ':PORT'";
                return false;
            }
            has_port = true;
            port_text = after.substr(1);
        }
    } else {
        size_t colon = rest.find(':');
        t.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            has_port = true;
            port_text = rest.substr(colon + 1);
        }
        if (t.host.empty()) {
            *why = "no host";
            return false;
        }
        bool numeric = t.host.find_first_not_of("0123456789.") == std::string::npos;
        in_addr a4;
        if (numeric ? inet_pton(AF_INET, t.host.c_str(), &a4) != 1 : !host_name_ok(t.host)) {
            *why = numeric ? "not an IPv4 address" : "not a host name (IPv6 needs brackets)";
            return false;
        }
    }
    if (has_port && !port_ok(port_text, &t.port)) {
        *why = "the port is not a number 1..65535";
        return false;
    }
    *target = t;
    return true;
}

// ---- requests -----------------------------------------------------------

bool nut_quote(const std::string &value, std::string *out)
{
    bool plain = !value.empty();
    for (char c : value) {
        if (c == '\n' || c == '\r' || c == '\0')
            return false;
        if (c == ' ' || c == '"' || c == '\\' || c == '\t')
            plain = false;
    }
    if (plain) {
        *out = value;
        return true;
    }
    std::string q = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    q += '"';
    *out = q;
    return true;
}

// The words of a request, the fixed ones as they are and the values quoted.
static bool request(const char *words, const std::vector<const std::string *> &values,
                    std::string *line)
{
    std::string out = words;
    for (const std::string *v : values) {
        std::string q;
        if (!nut_quote(*v, &q))
            return false;
        out += ' ';
        out += q;
    }
    out += '\n';
    *line = out;
    return true;
}

bool nut_request_username(const std::string &user, std::string *line)
{
    return request("USERNAME", {&user}, line);
}

bool nut_request_password(const std::string &password, std::string *line)
{
    return request("PASSWORD", {&password}, line);
}

bool nut_request_login(const std::string &ups, std::string *line)
{
    return request("LOGIN", {&ups}, line);
}

bool nut_request_list_var(const std::string &ups, std::string *line)
{
    return request("LIST VAR", {&ups}, line);
}

bool nut_request_get_var(const std::string &ups, const std::string &name, std::string *line)
{
    return request("GET VAR", {&ups, &name}, line);
}

std::string nut_request_starttls()
{
    return "STARTTLS\n";
}

std::string nut_request_logout()
{
    return "LOGOUT\n";
}

// ---- replies ------------------------------------------------------------

static bool refuse(NutReply *reply, const char *why)
{
    *reply = NutReply{};
    reply->why = why;
    return false;
}

bool nut_reply_parse(const std::string &line, NutReply *reply)
{
    if (line.size() > NUT_REPLY_LINE_MAX)
        return refuse(reply, "a reply line over 1 KiB");
    std::vector<std::string> words;
    size_t i = 0, n = line.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == ' ') {
            i++;
            continue;
        }
        std::string word;
        if (c == '"') {
            i++;
            bool closed = false;
            while (i < n) {
                unsigned char d = static_cast<unsigned char>(line[i]);
                if (d < 0x20 || d == 0x7f)
                    return refuse(reply, "a control character in a reply");
                if (d == '"') {
                    closed = true;
                    i++;
                    break;
                }
                if (d == '\\') {
                    if (i + 1 >= n || (line[i + 1] != '"' && line[i + 1] != '\\'))
                        return refuse(reply, "a stray escape in a quoted word");
                    word += line[i + 1];
                    i += 2;
                    continue;
                }
                word += static_cast<char>(d);
                i++;
            }
            if (!closed)
                return refuse(reply, "an unterminated quote");
            if (i < n && line[i] != ' ')
                return refuse(reply, "text right after a closing quote");
        } else {
            while (i < n && line[i] != ' ') {
                unsigned char d = static_cast<unsigned char>(line[i]);
                if (d < 0x20 || d == 0x7f)
                    return refuse(reply, "a control character in a reply");
                if (d == '"' || d == '\\')
                    return refuse(reply, "a quote or escape inside a bare word");
                word += static_cast<char>(d);
                i++;
            }
        }
        words.push_back(word);
    }
    if (words.empty())
        return refuse(reply, "an empty reply line");

    NutReply r;
    r.kind = NUT_REPLY_UNKNOWN;
    const std::string &w0 = words[0];
    size_t count = words.size();
    if (w0 == "OK") {
        r.kind = NUT_REPLY_OK;
        for (size_t k = 1; k < count; k++)
            r.value += (k > 1 ? " " : "") + words[k];
    } else if (w0 == "ERR" && count >= 2) {
        r.kind = NUT_REPLY_ERR;
        r.name = words[1];
        for (size_t k = 2; k < count; k++)
            r.value += (k > 2 ? " " : "") + words[k];
    } else if (w0 == "VAR" && count == 4) {
        r.kind = NUT_REPLY_VAR;
        r.ups = words[1];
        r.name = words[2];
        r.value = words[3];
    } else if ((w0 == "BEGIN" || w0 == "END") && count == 4 && words[1] == "LIST" &&
               words[2] == "VAR") {
        r.kind = w0 == "BEGIN" ? NUT_REPLY_BEGIN_LIST_VAR : NUT_REPLY_END_LIST_VAR;
        r.ups = words[3];
    }
    *reply = r;
    return true;
}

// ---- the reading ----------------------------------------------------------

enum { NUMBER_FLOAT, NUMBER_EXTRA, NUMBER_CHARGE, NUMBER_RUNTIME };

// The numeric variables: where each goes and its plain range.
static const struct {
    const char *name;
    int how;
    float MachineReading::*field; // NUMBER_FLOAT
    int extra;                    // NUMBER_EXTRA
    double lo, hi;
} numbers[] = {
    {"input.voltage", NUMBER_FLOAT, &MachineReading::input_voltage, 0, 0, 999.9},
    {"input.frequency", NUMBER_FLOAT, &MachineReading::input_frequency, 0, 0, 999.9},
    {"output.voltage", NUMBER_FLOAT, &MachineReading::output_voltage, 0, 0, 999.9},
    {"output.frequency", NUMBER_EXTRA, nullptr, MACHINE_X_OUTPUT_FREQUENCY, 0, 999.9},
    {"ups.load", NUMBER_FLOAT, &MachineReading::load_percent, 0, 0, 999},
    {"battery.voltage", NUMBER_FLOAT, &MachineReading::battery_voltage, 0, 0, 9999},
    {"battery.charge", NUMBER_CHARGE, nullptr, 0, 0, 100},
    {"battery.runtime", NUMBER_RUNTIME, nullptr, 0, 0, 99999999},
    {"ups.temperature", NUMBER_FLOAT, &MachineReading::temperature, 0, -99, 999},
    {"input.voltage.nominal", NUMBER_FLOAT, &MachineReading::rated_voltage, 0, 0, 999.9},
    {"battery.voltage.nominal", NUMBER_FLOAT, &MachineReading::rated_battery_voltage, 0, 0, 9999},
    {"input.frequency.nominal", NUMBER_FLOAT, &MachineReading::rated_frequency, 0, 0, 999.9},
    {"output.current.nominal", NUMBER_FLOAT, &MachineReading::rated_current, 0, 0, 99999},
    {"battery.charge.low", NUMBER_EXTRA, nullptr, MACHINE_X_CHARGE_LOW, 0, 100},
    {"input.transfer.low", NUMBER_EXTRA, nullptr, MACHINE_X_TRANSFER_LOW, 0, 999.9},
    {"input.transfer.high", NUMBER_EXTRA, nullptr, MACHINE_X_TRANSFER_HIGH, 0, 999.9},
    {"ups.power.nominal", NUMBER_EXTRA, nullptr, MACHINE_X_POWER_NOMINAL, 0, 9999999},
    {"ups.timer.shutdown", NUMBER_EXTRA, nullptr, MACHINE_X_DELAY_SHUTDOWN, -1, 99999999},
    {"ups.timer.start", NUMBER_EXTRA, nullptr, MACHINE_X_DELAY_START, -1, 99999999},
};

static const char *const test_words[] = {"Done and passed", "Done and warning", "Done and error",
                                         "Aborted", "In progress", "No test initiated"};

// A value fit for a line of the log: printable, cut short.
static std::string shown(const std::string &value)
{
    char text[41];
    machine_printable(text, sizeof text, reinterpret_cast<const unsigned char *>(value.data()),
                      value.size());
    return text;
}

static void refused_value(const char *name, const std::string &value, const char *what,
                          std::vector<std::string> *lines)
{
    char line[160];
    snprintf(line, sizeof line, "server value %s \"%s\" %s: taken as not given", name,
             shown(value).c_str(), what);
    lines->push_back(line);
}

// A decimal number, all of the text (no blanks, no hex, no inf or nan).
static bool decimal(const std::string &text, double *out)
{
    if (text.empty() || text.size() > 32 ||
        text.find_first_not_of("0123456789.+-eE") != std::string::npos)
        return false;
    char *end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

static void text_to(const std::string &value, char *out, size_t size)
{
    machine_printable(out, size, reinterpret_cast<const unsigned char *>(value.data()),
                      value.size());
}

bool nut_client_reading(const std::vector<std::pair<std::string, std::string>> &vars,
                        MachineReading *out, bool *fsd, std::vector<std::string> *lines)
{
    *fsd = false;
    std::map<std::string, std::string> v;
    for (const auto &p : vars)
        v[p.first] = p.second;
    auto status = v.find("ups.status");
    if (status == v.end() || status->second.find_first_not_of(' ') == std::string::npos) {
        lines->push_back("server gives no ups.status: no reading");
        return false;
    }

    MachineReading r{};
    r.battery_charge = -1;
    r.battery_runtime = -1;
    memcpy(r.status, "??01000?", 8); // b0 b1 unknown, off-line type, b7 from OL / OB
    bool ol = false, ob = false;
    static const struct {
        const char *word;
        int position; // -1 none
        uint32_t flag;
    } words[] = {
        {"LB", STATUS_BATTERY_LOW, 0},       {"BYPASS", STATUS_BYPASS, 0},
        {"BOOST", STATUS_BYPASS, MACHINE_FLAG_BOOST}, {"TRIM", STATUS_BYPASS, MACHINE_FLAG_BUCK},
        {"CAL", STATUS_TEST, 0},             {"OVER", STATUS_FAILED, MACHINE_FLAG_OVERLOAD},
        {"ALARM", STATUS_FAILED, 0},         {"RB", -1, MACHINE_FLAG_REPLACE_BATTERY},
        {"CHRG", -1, MACHINE_FLAG_CHARGING}, {"DISCHRG", -1, MACHINE_FLAG_DISCHARGING},
    };
    const std::string &s = status->second;
    for (size_t i = 0; i < s.size();) {
        size_t end = s.find(' ', i);
        if (end == std::string::npos)
            end = s.size();
        std::string w = s.substr(i, end - i);
        i = end + 1;
        if (w == "OL")
            ol = true;
        else if (w == "OB")
            ob = true;
        else if (w == "FSD")
            *fsd = true;
        for (const auto &e : words)
            if (w == e.word) {
                if (e.position >= 0)
                    r.status[e.position] = '1';
                r.unit_flags |= e.flag;
            }
    }
    r.status[STATUS_AC_FAILED] = ob ? '1' : ol ? '0' : '?';

    for (const auto &e : numbers) {
        auto it = v.find(e.name);
        if (it == v.end())
            continue;
        double x;
        if (!decimal(it->second, &x)) {
            refused_value(e.name, it->second, "is no number", lines);
            continue;
        }
        if (x < e.lo || x > e.hi) {
            refused_value(e.name, it->second, "is out of range", lines);
            continue;
        }
        switch (e.how) {
        case NUMBER_FLOAT: r.*e.field = static_cast<float>(x); break;
        case NUMBER_EXTRA: r.extra[e.extra] = static_cast<float>(x); break;
        case NUMBER_CHARGE: r.battery_charge = static_cast<int>(std::lround(x)); break;
        case NUMBER_RUNTIME: r.battery_runtime = static_cast<int>(std::lround(x)); break;
        }
    }

    auto text = [&](const char *first, const char *second) -> const std::string * {
        auto it = v.find(first);
        if (it != v.end() && !it->second.empty())
            return &it->second;
        it = second ? v.find(second) : v.end();
        return it != v.end() && !it->second.empty() ? &it->second : nullptr;
    };
    if (const std::string *t = text("ups.mfr", "device.mfr")) {
        text_to(*t, r.maker, sizeof r.maker);
        text_to(*t, r.company, sizeof r.company);
    }
    if (const std::string *t = text("ups.model", "device.model")) {
        text_to(*t, r.product, sizeof r.product);
        text_to(*t, r.model, sizeof r.model);
    }
    if (const std::string *t = text("ups.firmware", nullptr))
        text_to(*t, r.version, sizeof r.version);
    if (const std::string *t = text("ups.serial", "device.serial"))
        text_to(*t, r.serial, sizeof r.serial);

    auto test = v.find("ups.test.result");
    if (test != v.end()) {
        bool known = false;
        for (int k = 0; k < 6; k++)
            if (test->second == test_words[k]) {
                r.extra[MACHINE_X_TEST_RESULT] = static_cast<float>(k + 1);
                known = true;
            }
        if (!known)
            refused_value("ups.test.result", test->second, "is no test result known", lines);
    }
    *out = r;
    return true;
}
