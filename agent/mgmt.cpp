#include "agent/mgmt.h"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "agent/access.h"
#include "agent/decision.h"
#include "agent/users.h"
#include "base/log.h"
#include "protocol/ups_command.h"
#include "store/textfile.h"

static MachineContext *units = nullptr;
static int (*unit_count)(void *) = nullptr;
static void *unit_count_ctx = nullptr;

// The sessions with a LOGIN, for NUMLOGINS and LIST CLIENT.
using Guard = std::lock_guard<std::mutex>;
static std::mutex lock;
static std::vector<const MgmtSession *> logins;

// FSD set by a primary client, per unit; it stays until the daemon restarts,
// as a forced shutdown once announced is not taken back.
static std::atomic<bool> client_fsd[4];

void mgmt_configure(MachineContext *contexts, int (*count)(void *ctx), void *ctx)
{
    units = contexts;
    unit_count = count;
    unit_count_ctx = ctx;
}

// A character that ends a run of plain ones inside a word: a backslash,
// and the closing quote of a quoted word or a blank of another.
static bool ends_run(char c, bool quoted)
{
    return c == '\\' || (quoted ? c == '"' : c == ' ' || c == '\t');
}

bool mgmt_split(const std::string &line, std::vector<std::string> *words)
{
    words->clear();
    size_t i = 0, n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            i++;
        if (i >= n)
            break;
        std::string &word = words->emplace_back();
        bool quoted = line[i] == '"';
        if (quoted)
            i++;
        bool closed = !quoted;
        while (i < n) {
            size_t start = i;
            while (i < n && !ends_run(line[i], quoted))
                i++;
            word.append(line, start, i - start);
            if (i >= n)
                break;
            if (line[i] == '\\') {
                if (i + 1 >= n)
                    return false;
                word += line[i + 1];
                i += 2;
                continue;
            }
            if (quoted) { // the closing quote
                closed = true;
                i++;
            }
            break;
        }
        if (!closed)
            return false;
    }
    return true;
}

// Appends `text` in double quotes, '"' and '\' escaped by a backslash and
// any byte outside 0x20..0x7E as '?': a reply line never holds a line end
// or a control byte, whatever a device or a setting says.
static void append_quoted(std::string *out, std::string_view text)
{
    *out += '"';
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            *out += '\\';
        *out += b >= 0x20 && b <= 0x7e ? c : '?';
    }
    *out += '"';
}

std::string mgmt_quote(const std::string &text)
{
    std::string out;
    append_quoted(&out, text);
    return out;
}

// ---- units and variables ----------------------------------------------------

// "ups" is unit 1, "upsN" unit N, within the units in use.
static bool unit_of(const std::string &name, int *index)
{
    int count = unit_count ? unit_count(unit_count_ctx) : 1;
    if (name == "ups") {
        *index = 0;
        return units != nullptr;
    }
    if (name.size() == 4 && name.compare(0, 3, "ups") == 0 && name[3] >= '1' &&
        name[3] <= '0' + count) {
        *index = name[3] - '1';
        return units != nullptr;
    }
    return false;
}

static std::string unit_name(int index)
{
    return "ups" + std::to_string(index + 1);
}

// A fixed-width identity field without its padding.
static std::string trimmed(const char *text)
{
    std::string s = text;
    size_t first = s.find_first_not_of(' ');
    size_t last = s.find_last_not_of(' ');
    return first == std::string::npos ? "" : s.substr(first, last + 1 - first);
}

static std::string number(double value, int decimals)
{
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The status words of the protocol from the status characters; FSD first
// when the unit's hosts must go down.
static std::string status_words(const MachineValues &v, bool fsd)
{
    std::string words = fsd ? "FSD " : "";
    words += v.status[STATUS_AC_FAILED] == '1' ? "OB" : "OL";
    if (v.status[STATUS_BATTERY_LOW] == '1')
        words += " LB";
    if (v.status[STATUS_BYPASS] == '1' && v.status[STATUS_TYPE] == '0')
        words += " BYPASS"; // on an off-line unit the character means AVR, which is no status word
    if (v.status[STATUS_TEST] == '1')
        words += " CAL";
    if (v.status[STATUS_FAILED] == '1')
        words += " ALARM";
    // Conditions only some units name on their own (a HID unit).
    static const struct {
        uint32_t flag;
        const char *word;
    } flag_words[] = {{MACHINE_FLAG_OVERLOAD, " OVER"},   {MACHINE_FLAG_REPLACE_BATTERY, " RB"},
                      {MACHINE_FLAG_BOOST, " BOOST"},     {MACHINE_FLAG_BUCK, " TRIM"},
                      {MACHINE_FLAG_CHARGING, " CHRG"},   {MACHINE_FLAG_DISCHARGING, " DISCHRG"}};
    for (const auto &f : flag_words)
        if (v.unit_flags & f.flag)
            words += f.word;
    return words;
}

// The turn-off delay of shutdown.return and shutdown.stayoff: the daemon's
// UPS shutdown delay, in whole minutes as the UPS takes them, at least one.
static int shutdown_minutes()
{
    int minutes = decision_delays().ups_shutdown;
    return minutes < 1 ? 1 : minutes;
}

// What a variable's value is made of: the unit's index and one copy of its
// values, taken once per request.
struct UnitView {
    int index;              // 0..3
    const MachineValues &v; // the unit's values
    bool stale;             // lost, or no status yet: ups.status is empty
    time_t now;             // the request's time: FSD by the decision's deadlines
};

// *out = text; false (the unit has no such variable now) when it is empty.
static bool nonempty(std::string text, std::string *out)
{
    *out = std::move(text);
    return !out->empty();
}

// *out = value with `decimals` decimals; always true.
static bool set_number(double value, int decimals, std::string *out)
{
    *out = number(value, decimals);
    return true;
}

// *out = an extra reading (MACHINE_X_*) with `decimals` decimals; false
// when the unit does not give it.
static bool set_extra(const UnitView &u, int which, int decimals, std::string *out)
{
    float x = u.v.extra[which];
    return std::isfinite(x) && set_number(x, decimals, out);
}

// The unit's own full text when it gives one, else the identity's.
static std::string full_text(const char *full, const char *identity)
{
    std::string text = trimmed(full);
    return text.empty() ? trimmed(identity) : text;
}

// A USB id as four hex digits; false for a unit not found on USB.
static bool set_usb_id(uint16_t id, std::string *out)
{
    char text[8];
    snprintf(text, sizeof text, "%04x", id);
    return id != 0 && nonempty(text, out);
}

// The words of a unit's last test result (MACHINE_X_TEST_RESULT).
static bool set_test_result(const UnitView &u, std::string *out)
{
    static const char *const words[] = {"", "Done and passed", "Done and warning",
                                        "Done and error", "Aborted", "In progress",
                                        "No test initiated"};
    float x = u.v.extra[MACHINE_X_TEST_RESULT];
    if (!std::isfinite(x) || x < 1 || x > 6)
        return false;
    return nonempty(words[static_cast<int>(x)], out);
}

// A unit's variable: its name, its description, NUMBER or a string in GET
// TYPE, and `value`, which sets what is sent for the unit and returns false
// when the unit has no such variable now (a rating not known yet, no alarm).
// One variable's value is made alone, so a GET VAR costs that one.
struct VariableInfo {
    const char *name;
    const char *description;
    bool numeric;
    bool (*value)(const UnitView &u, std::string *out);
};

// In name order: LIST VAR gives them so, and variable_info searches by halves.
static constexpr VariableInfo variable_table[] = {
    {"battery.charge", "Battery charge (percent of full)", true,
     [](const UnitView &u, std::string *out) {
         bool empty = true;
         int charge = machine_charge(u.v, &empty);
         return !empty && nonempty(std::to_string(charge), out);
     }},
    {"battery.charge.low", "Remaining battery level when UPS switches to LB (percent)", true,
     [](const UnitView &u, std::string *out) { return set_extra(u, MACHINE_X_CHARGE_LOW, 0, out); }},
    {"battery.runtime", "Battery runtime (seconds)", true,
     [](const UnitView &u, std::string *out) {
         return u.v.battery_runtime >= 0 && nonempty(std::to_string(u.v.battery_runtime), out);
     }},
    {"battery.voltage", "Battery voltage (V)", true,
     [](const UnitView &u, std::string *out) { return set_number(u.v.battery_voltage, 2, out); }},
    {"battery.voltage.nominal", "Nominal battery voltage (V)", true,
     [](const UnitView &u, std::string *out) {
         return u.v.rated_battery_voltage > 0 && set_number(u.v.rated_battery_voltage, 1, out);
     }},
    {"device.mfr", "Device manufacturer", false,
     [](const UnitView &u, std::string *out) {
         return nonempty(full_text(u.v.maker, u.v.company), out);
     }},
    {"device.model", "Device model", false,
     [](const UnitView &u, std::string *out) {
         return nonempty(full_text(u.v.product, u.v.model), out);
     }},
    {"device.serial", "Device serial number", false,
     [](const UnitView &u, std::string *out) { return nonempty(trimmed(u.v.serial), out); }},
    {"device.type", "Device type", false,
     [](const UnitView &, std::string *out) { return nonempty("ups", out); }},
    {"driver.name", "Driver name", false,
     [](const UnitView &, std::string *out) { return nonempty("upsagent", out); }},
    {"input.frequency", "Input line frequency (Hz)", true,
     [](const UnitView &u, std::string *out) { return set_number(u.v.input_frequency, 1, out); }},
    {"input.frequency.nominal", "Nominal input line frequency (Hz)", true,
     [](const UnitView &u, std::string *out) {
         return u.v.rated_frequency > 0 && set_number(u.v.rated_frequency, 1, out);
     }},
    {"input.transfer.high", "High voltage transfer point (V)", true,
     [](const UnitView &u, std::string *out) { return set_extra(u, MACHINE_X_TRANSFER_HIGH, 1, out); }},
    {"input.transfer.low", "Low voltage transfer point (V)", true,
     [](const UnitView &u, std::string *out) { return set_extra(u, MACHINE_X_TRANSFER_LOW, 1, out); }},
    {"input.voltage", "Input voltage (V)", true,
     [](const UnitView &u, std::string *out) { return set_number(u.v.input_voltage, 1, out); }},
    {"input.voltage.fault", "Input voltage at the last fault (V)", true,
     [](const UnitView &u, std::string *out) {
         return set_number(u.v.input_fault_voltage, 1, out);
     }},
    {"input.voltage.nominal", "Nominal input voltage (V)", true,
     [](const UnitView &u, std::string *out) {
         return u.v.rated_voltage > 0 && set_number(u.v.rated_voltage, 1, out);
     }},
    {"output.current.nominal", "Nominal output current (A)", true,
     [](const UnitView &u, std::string *out) {
         return u.v.rated_current > 0 && set_number(u.v.rated_current, 0, out);
     }},
    {"output.frequency", "Output frequency (Hz)", true,
     [](const UnitView &u, std::string *out) {
         return set_extra(u, MACHINE_X_OUTPUT_FREQUENCY, 1, out);
     }},
    {"output.voltage", "Output voltage (V)", true,
     [](const UnitView &u, std::string *out) { return set_number(u.v.output_voltage, 1, out); }},
    {"ups.alarm", "UPS alarms", false,
     [](const UnitView &u, std::string *out) {
         return u.v.status[STATUS_FAILED] == '1' && nonempty("UPS failed", out);
     }},
    {"ups.beeper.status", "UPS beeper status", false,
     [](const UnitView &u, std::string *out) {
         return nonempty(u.v.status[STATUS_BEEPER] == '1' ? "enabled" : "disabled", out);
     }},
    {"ups.delay.shutdown", "Interval to wait after shutdown with delay command (seconds)", true,
     [](const UnitView &u, std::string *out) { // the UPS commands go to unit 1 only
         return u.index == 0 && nonempty(std::to_string(shutdown_minutes() * 60), out);
     }},
    {"ups.firmware", "UPS firmware", false,
     [](const UnitView &u, std::string *out) { return nonempty(trimmed(u.v.version), out); }},
    {"ups.load", "Load on UPS (percent of full)", true,
     [](const UnitView &u, std::string *out) { return set_number(u.v.load_percent, 0, out); }},
    {"ups.mfr", "UPS manufacturer", false,
     [](const UnitView &u, std::string *out) {
         return nonempty(full_text(u.v.maker, u.v.company), out);
     }},
    {"ups.model", "UPS model", false,
     [](const UnitView &u, std::string *out) {
         return nonempty(full_text(u.v.product, u.v.model), out);
     }},
    {"ups.power.nominal", "Nominal value of apparent power (Volt-Amps)", true,
     [](const UnitView &u, std::string *out) { return set_extra(u, MACHINE_X_POWER_NOMINAL, 0, out); }},
    {"ups.productid", "Product ID for USB devices", false,
     [](const UnitView &u, std::string *out) { return set_usb_id(u.v.usb_product_id, out); }},
    {"ups.serial", "UPS serial number", false,
     [](const UnitView &u, std::string *out) { return nonempty(trimmed(u.v.serial), out); }},
    {"ups.status", "UPS status", false,
     [](const UnitView &u, std::string *out) {
         if (u.stale) {
             out->clear();
             return true;
         }
         bool fsd = client_fsd[u.index].load() || decision_forced(u.index, u.now);
         *out = status_words(u.v, fsd);
         return true;
     }},
    {"ups.temperature", "UPS temperature (degrees C)", true,
     [](const UnitView &u, std::string *out) { return set_number(u.v.temperature, 1, out); }},
    {"ups.test.result", "Results of last self test", false, set_test_result},
    {"ups.timer.shutdown", "Time before the load will be shutdown (seconds)", true,
     [](const UnitView &u, std::string *out) { return set_extra(u, MACHINE_X_DELAY_SHUTDOWN, 0, out); }},
    {"ups.timer.start", "Time before the load will be started (seconds)", true,
     [](const UnitView &u, std::string *out) { return set_extra(u, MACHINE_X_DELAY_START, 0, out); }},
    {"ups.vendorid", "Vendor ID for USB devices", false,
     [](const UnitView &u, std::string *out) { return set_usb_id(u.v.usb_vendor_id, out); }},
};

static constexpr bool in_name_order()
{
    for (size_t i = 1; i < std::size(variable_table); i++)
        if (std::string_view(variable_table[i - 1].name) >= variable_table[i].name)
            return false;
    return true;
}
static_assert(in_name_order(), "variable_table must stay in name order");

static const VariableInfo *variable_info(std::string_view name)
{
    const VariableInfo *end = std::end(variable_table);
    const VariableInfo *at = std::lower_bound(
        std::begin(variable_table), end, name,
        [](const VariableInfo &v, std::string_view n) { return std::string_view(v.name) < n; });
    return at != end && name == at->name ? at : nullptr;
}

std::vector<std::pair<std::string, std::string>> mgmt_variables(int index, bool *stale,
                                                                time_t now)
{
    std::vector<std::pair<std::string, std::string>> vars;
    *stale = true;
    if (!units || index < 0 || index > 3)
        return vars;
    MachineValues v;
    machine_values(&units[index], &v);
    *stale = !v.connected || !v.status_taken;
    UnitView u{index, v, *stale, now};
    std::string value;
    for (const VariableInfo &info : variable_table)
        if (info.value(u, &value))
            vars.emplace_back(info.name, value);
    return vars;
}

// One "VAR UPS NAME "VALUE"" line.
static void append_variable(std::string *out, const std::string &ups, std::string_view name,
                            const std::string &value)
{
    out->reserve(out->size() + ups.size() + name.size() + value.size() + 16);
    *out += "VAR ";
    *out += ups;
    *out += ' ';
    *out += name;
    *out += ' ';
    append_quoted(out, value);
    *out += '\n';
}

static std::string description_of(int index)
{
    MachineValues v;
    machine_values(&units[index], &v);
    std::string text = trimmed(v.company);
    std::string model = trimmed(v.model);
    if (!model.empty())
        text += (text.empty() ? "" : " ") + model;
    return text.empty() ? "UPS unit " + std::to_string(index + 1) : text;
}

// ---- commands -----------------------------------------------------------

// The instant commands, each the UPS command it becomes. The UPS counts
// the turn-off delay in minutes: shutdown.return restarts the load one
// minute after the mains returns, shutdown.stayoff leaves it off.
struct CommandInfo {
    const char *name;
    const char *description;
    int kind; // UPS_COMMAND_*; a turn-off waits shutdown_minutes()
};

static const CommandInfo command_table[] = {
    {"shutdown.return", "Turn off the load and return when power is back",
     UPS_COMMAND_TURN_OFF_RESTORE},
    {"shutdown.stayoff", "Turn off the load and remain off", UPS_COMMAND_TURN_OFF},
    {"shutdown.stop", "Stop a shutdown in progress", UPS_COMMAND_SHUTDOWN_CANCEL},
    {"test.battery.start.deep", "Start a deep battery test", UPS_COMMAND_TEST_DEEP},
    {"test.battery.start.quick", "Start a quick battery test", UPS_COMMAND_TEST_QUICK},
    {"test.battery.stop", "Stop the battery test", UPS_COMMAND_TEST_CANCEL},
};

static std::string ups_bytes(const CommandInfo &c)
{
    switch (c.kind) {
    case UPS_COMMAND_TURN_OFF_RESTORE:
        return ups_command_format(ups_command_turn_off_restore(shutdown_minutes(), 1));
    case UPS_COMMAND_TURN_OFF:
        return ups_command_format(ups_command_turn_off(shutdown_minutes()));
    }
    return ups_command_format(ups_command_of(c.kind));
}

static const CommandInfo *command_info(const std::string &name)
{
    for (const CommandInfo &c : command_table)
        if (name == c.name)
            return &c;
    return nullptr;
}

static std::string err(const char *what)
{
    return std::string("ERR ") + what + "\n";
}

// Why unit `index` has no values to give: "DRIVER-NOT-CONNECTED" when it
// never answered since the daemon started, "DATA-STALE" when it answered and
// was lost (its readings are gone; zeros would be wrong values); nullptr
// when it has them.
static const char *no_values(int index)
{
    MachineValues v;
    machine_values(&units[index], &v);
    if (!v.status_taken)
        return "DRIVER-NOT-CONNECTED";
    return v.connected ? nullptr : "DATA-STALE";
}

// A login that counts: its user is as it was when the session checked it.
static bool counted(const MgmtSession *s, int index)
{
    return s->login == index && users_current(s->username, s->generation);
}

static std::string get(const std::vector<std::string> &w, time_t now)
{
    if (w.size() < 3)
        return err("INVALID-ARGUMENT");
    const std::string &what = w[1];
    int index = 0;
    if (!unit_of(w[2], &index))
        return err("UNKNOWN-UPS");
    const std::string &ups = w[2];
    if (what == "UPSDESC" && w.size() == 3)
        return "UPSDESC " + ups + " " + mgmt_quote(description_of(index)) + "\n";
    if (what == "NUMLOGINS" && w.size() == 3) {
        int count = 0;
        Guard g(lock);
        for (const MgmtSession *other : logins)
            count += counted(other, index);
        return "NUMLOGINS " + ups + " " + std::to_string(count) + "\n";
    }
    if (w.size() != 4)
        return err("INVALID-ARGUMENT");
    const std::string &name = w[3];
    if (what == "CMDDESC") {
        const CommandInfo *c = index == 0 ? command_info(name) : nullptr;
        return c ? "CMDDESC " + ups + " " + name + " " + mgmt_quote(c->description) + "\n"
                 : err("CMD-NOT-SUPPORTED");
    }
    const VariableInfo *info = variable_info(name);
    if (what == "DESC")
        return info ? "DESC " + ups + " " + name + " " + mgmt_quote(info->description) + "\n"
                    : err("VAR-NOT-SUPPORTED");
    if (what != "TYPE" && what != "VAR")
        return err("INVALID-ARGUMENT");
    MachineValues v;
    machine_values(&units[index], &v);
    bool stale = !v.connected || !v.status_taken;
    std::string value;
    if (!info || !info->value(UnitView{index, v, stale, now}, &value))
        return err("VAR-NOT-SUPPORTED");
    if (what == "TYPE")
        return "TYPE " + ups + " " + name + (info->numeric ? " NUMBER" : " STRING:64") + "\n";
    if (stale) // as no_values(index) says it
        return err(v.status_taken ? "DATA-STALE" : "DRIVER-NOT-CONNECTED");
    std::string reply;
    append_variable(&reply, ups, name, value);
    return reply;
}

static std::string list(const std::vector<std::string> &w, time_t now)
{
    if (w.size() < 2)
        return err("INVALID-ARGUMENT");
    const std::string &what = w[1];
    if (what == "UPS") {
        if (w.size() != 2)
            return err("INVALID-ARGUMENT");
        int count = unit_count ? unit_count(unit_count_ctx) : 1;
        std::string out = "BEGIN LIST UPS\n";
        for (int i = 0; units && i < count && i < 4; i++)
            out += "UPS " + unit_name(i) + " " + mgmt_quote(description_of(i)) + "\n";
        return out + "END LIST UPS\n";
    }
    if (w.size() < 3)
        return err("INVALID-ARGUMENT");
    int index = 0;
    if (!unit_of(w[2], &index))
        return err("UNKNOWN-UPS");
    const std::string &ups = w[2];
    std::string head = "BEGIN LIST " + what + " " + ups + "\n";
    std::string tail = "END LIST " + what + " " + ups + "\n";
    if (what == "VAR" && w.size() == 3) {
        if (const char *why = no_values(index))
            return err(why);
        bool stale = false;
        std::string out = head;
        for (const auto &[name, value] : mgmt_variables(index, &stale, now))
            append_variable(&out, ups, name, value);
        return out + tail;
    }
    if (what == "CMD" && w.size() == 3) {
        std::string out = head;
        for (const CommandInfo &c : command_table)
            if (index == 0)
                out += "CMD " + ups + " " + c.name + "\n";
        return out + tail;
    }
    if (what == "CLIENT" && w.size() == 3) {
        std::string out = head;
        Guard g(lock);
        for (const MgmtSession *other : logins)
            if (counted(other, index))
                out += "CLIENT " + ups + " " + access_address_text(other->peer) + "\n";
        return out + tail;
    }
    if (what == "RW" && w.size() == 3)
        return head + tail; // nothing is writable
    if ((what == "ENUM" || what == "RANGE") && w.size() == 4)
        return variable_info(w[3]) ? "BEGIN LIST " + what + " " + ups + " " + w[3] + "\nEND LIST " +
                                         what + " " + ups + " " + w[3] + "\n"
                                   : err("VAR-NOT-SUPPORTED");
    return err("INVALID-ARGUMENT");
}

// The guessing limit's checks per source (access_peer_key), a bucket that
// refills at MGMT_GUESS_RATE: a password check is a crypt of some
// milliseconds on the server's one thread, so a flood of guesses must cost
// neither the other clients nor the host, and finds a password no sooner
// from many addresses of this host than from one.
struct GuessBucket {
    double checks; // left, up to MGMT_GUESS_BURST
    double at;     // when `checks` was last brought up to date
};
static std::unordered_map<uint32_t, GuessBucket> guesses; // under `lock`

// The bucket of `source` brought up to `now`; a new source gets a full one,
// and a full table forgets the source it last heard of longest ago.
static GuessBucket &bucket_of(uint32_t source, double now)
{
    auto found = guesses.find(source);
    if (found == guesses.end()) {
        access_table_make_room(&guesses, [](const GuessBucket &b) { return b.at; });
        return guesses[source] = {MGMT_GUESS_BURST, now};
    }
    GuessBucket &b = found->second;
    if (now > b.at)
        b.checks = std::min(MGMT_GUESS_BURST, b.checks + (now - b.at) * MGMT_GUESS_RATE);
    b.at = now;
    return b;
}

// The session's user name as a line may show it.
static std::string user_text(const MgmtSession *s)
{
    return printable_text(s->username.data(), s->username.size(), 32);
}

// The session's login is over: LIST CLIENT and NUMLOGINS forget it.
static void drop_login(MgmtSession *s)
{
    Guard g(lock);
    std::erase(logins, s);
    s->login = -1;
    s->primary = -1;
}

// The roles of the session's username and password, checked once per
// session (they cannot change once set); -1 when they do not match, and
// from the moment a reload changed or removed the user.
static int roles_of(MgmtSession *s, double now)
{
    if (s->verified && s->roles >= 0 && !users_current(s->username, s->generation)) {
        s->roles = -1;
        drop_login(s);
        if (int count = access_line_due(ACCESS_LINE_ENDED_LOGIN, now))
            log_notice("mgmt: login of user \"%s\" from %s ended: the user changed in %s (%d "
                       "since the last line)\n",
                       user_text(s).c_str(),
                       access_address_text(s->peer).c_str(), USERS_FILE, count);
    }
    if (s->verified)
        return s->roles;
    uint32_t source = s->source ? s->source : access_peer_key(s->peer);
    bool allowed;
    {
        Guard g(lock);
        allowed = bucket_of(source, now).checks >= 1;
    }
    s->verified = true;
    if (!allowed) {
        s->roles = -1;
        if (int count = access_line_due(ACCESS_LINE_GUESSING, now))
            log_warning("mgmt: user \"%s\" from %s refused unchecked: more than %.0f refused "
                        "passwords at once from its host (%d since the last line)\n",
                        user_text(s).c_str(),
                        access_address_text(s->peer).c_str(), MGMT_GUESS_BURST, count);
        return s->roles;
    }
    s->roles = users_check(s->username, s->password, &s->generation);
    if (s->roles < 0) {
        {
            Guard g(lock);
            bucket_of(source, now).checks -= 1;
        }
        if (int count = access_line_due(ACCESS_LINE_REFUSED_LOGIN, now))
            log_warning("mgmt: user \"%s\" from %s refused: unknown user or wrong password "
                        "(%d since the last line); see %s\n",
                        user_text(s).c_str(),
                        access_address_text(s->peer).c_str(), count, USERS_FILE);
    }
    return s->roles;
}


// LOGIN, PRIMARY (MASTER is its old name) and FSD, each "WORD UPS".
static std::string session_command(MgmtSession *s, const std::vector<std::string> &w,
                                   double now)
{
    const std::string &cmd = w[0];
    int index = 0;
    if (w.size() != 2)
        return err("INVALID-ARGUMENT");
    if (!unit_of(w[1], &index))
        return err("UNKNOWN-UPS");
    if (s->username.empty())
        return err("USERNAME-REQUIRED");
    if (s->password.empty())
        return err("PASSWORD-REQUIRED");
    int roles = roles_of(s, now);
    if (cmd == "LOGIN") {
        if (s->login >= 0)
            return err("ALREADY-LOGGED-IN");
        if (roles < 0 || !(roles & (USER_PRIMARY | USER_SECONDARY)))
            return err("ACCESS-DENIED");
        s->login = index;
        Guard g(lock);
        logins.push_back(s);
        return "OK\n";
    }
    if (cmd == "FSD") {
        if (s->primary != index || s->login != index)
            return err("ACCESS-DENIED"); // a primary login for this unit
        if (!client_fsd[index].exchange(true))
            log_notice("mgmt: FSD set on %s by %s@%s\n", unit_name(index).c_str(),
                   s->username.c_str(), access_address_text(s->peer).c_str());
        return "OK FSD-SET\n";
    }
    if (roles < 0 || !(roles & USER_PRIMARY))
        return err("ACCESS-DENIED");
    s->primary = index;
    return cmd == "MASTER" ? "OK MASTER-GRANTED\n" : "OK PRIMARY-GRANTED\n";
}

// "INSTCMD UPS COMMAND": the turn-offs and the cancel go to the shutdown
// decision; a test joins unit 1's command queue (its ordinary lane), which
// the polling loop sends after the decision's own.
static std::string instant_command(MgmtSession *s, const std::vector<std::string> &w,
                                   double now, time_t wall_now)
{
    int index = 0;
    if (w.size() != 3)
        return err("INVALID-ARGUMENT");
    if (!unit_of(w[1], &index))
        return err("UNKNOWN-UPS");
    const CommandInfo *c = index == 0 ? command_info(w[2]) : nullptr;
    if (!c)
        return err("CMD-NOT-SUPPORTED");
    int roles = s->username.empty() || s->password.empty() ? -1 : roles_of(s, now);
    if (roles < 0 || !(roles & USER_INSTCMD))
        return err("ACCESS-DENIED");
    std::string command = ups_bytes(*c);
    if (const char *why = no_values(0))
        return err(why); // a lost unit drops what its queue holds
    if (s->instcmd_at >= 0 && now - s->instcmd_at < MGMT_INSTCMD_SPACING)
        return err("INSTCMD-FAILED"); // one a second: a loop must not fill the queue
    // The turn-offs and the cancel are the shutdown decision's: a turn-off
    // starts a planned shutdown (the host first), a cancel is refused while
    // a condition holds.
    UpsCommand parsed;
    std::string source = s->username + "@" + access_address_text(s->peer);
    DecisionVerdict verdict = ups_command_parse(command, &parsed)
                                  ? decision_command(wall_now, parsed, source.c_str())
                                  : DECISION_PASS;
    if (verdict == DECISION_REFUSED)
        return err("INSTCMD-FAILED");
    if (verdict == DECISION_PASS &&
        !machine_queue_command(&units[0], command.data(), static_cast<int>(command.size())))
        return err("INSTCMD-FAILED"); // the queue is full
    s->instcmd_at = now;
    log_notice("mgmt: %s on %s by %s@%s\n", c->name, unit_name(index).c_str(), s->username.c_str(),
           access_address_text(s->peer).c_str());
    return "OK\n";
}

bool mgmt_needs_tls(const MgmtSession &session, const std::string &command)
{
    static const char *const SECRET_WORDS[] = {"USERNAME", "PASSWORD", "LOGIN", "PRIMARY",
                                               "MASTER",   "FSD",      "INSTCMD"};
    if (!session.tls_required || session.tls_active)
        return false;
    for (const char *word : SECRET_WORDS)
        if (command == word)
            return true;
    return false;
}

std::string mgmt_request(MgmtSession *s, const std::string &line, LoopTime now)
{
    if (line.size() > static_cast<size_t>(MGMT_LINE_MAX))
        return err("TOO-LONG");
    std::vector<std::string> w;
    w.reserve(5); // the longest request, SET VAR, has five words: one allocation
    if (!mgmt_split(line, &w))
        return err("INVALID-ARGUMENT");
    if (w.empty())
        return "";
    const std::string &cmd = w[0];
    if (cmd == "VER" && w.size() == 1)
        return "upsagent 1.0.0, Tarvo Mains Sentinel (RFC 9271 protocol)\n";
    if (cmd == "NETVER" && w.size() == 1)
        return "1.3\n";
    if (cmd == "HELP" && w.size() == 1)
        return "Commands: HELP VER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD STARTTLS\n";
    if (cmd == "LOGOUT" && w.size() == 1) {
        s->ending = true;
        return "OK Goodbye\n";
    }
    if (cmd == "STARTTLS" && w.size() == 1) {
        if (s->tls_active)
            return err("ALREADY-SSL-MODE");
        if (!s->tls_offered)
            return err("FEATURE-NOT-CONFIGURED");
        s->tls_start = true;
        return "OK STARTTLS\n";
    }
    if (mgmt_needs_tls(*s, cmd))
        return err("ACCESS-DENIED"); // no password crosses the network in clear
    if (cmd == "GET")
        return get(w, now.wall);
    if (cmd == "LIST")
        return list(w, now.wall);
    if (cmd == "USERNAME" || cmd == "PASSWORD") {
        if (w.size() != 2)
            return err("INVALID-ARGUMENT");
        std::string &slot = cmd == "USERNAME" ? s->username : s->password;
        if (!slot.empty())
            return err(cmd == "USERNAME" ? "ALREADY-SET-USERNAME" : "ALREADY-SET-PASSWORD");
        slot = w[1];
        return "OK\n";
    }
    if (cmd == "LOGIN" || cmd == "PRIMARY" || cmd == "MASTER" || cmd == "FSD")
        return session_command(s, w, now.mono);
    if (cmd == "INSTCMD")
        return instant_command(s, w, now.mono, now.wall);
    if (cmd == "SET")
        return err("ACCESS-DENIED"); // nothing is writable
    return err("UNKNOWN-COMMAND");
}

void mgmt_session_end(MgmtSession *session)
{
    Guard g(lock);
    for (size_t i = 0; i < logins.size(); i++)
        if (logins[i] == session) {
            logins.erase(logins.begin() + static_cast<long>(i));
            break;
        }
}
