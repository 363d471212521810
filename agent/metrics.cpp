#include "agent/metrics.h"

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "agent/decision.h"
#include "base/worker.h"
#include "store/event_text.h"
#include "store/paths.h"
#include "store/textfile.h"
#include "store/write_report.h"

static std::atomic<long> event_counts[4][EVENT_CODES];
static time_t last_write;   // the loop's thread only

void metrics_count_event(int address, int code)
{
    if (address >= 1 && address <= 4 && code >= 0 && code < EVENT_CODES)
        event_counts[address - 1][code]++;
}

// The event codes as label values: the status characters by position
// (0..8, also the bits of upsagent_status), then the decision's reports.
static const char *const bit_names[EVENT_CODES] = {
    "beeper", "shutdown_active", "test", "offline_type", "failed", "bypass",
    "battery_low", "mains_failed", "connection", "shutdown_call_failed", "ups_ignored_command",
    "planned_shutdown",
};

struct Gauge {
    const char *name; // without the prefix
    const char *help;
    double (*value)(const MachineValues &v, bool *known);
};

static double known(double x, bool *ok)
{
    *ok = std::isfinite(x);
    return x;
}

static double rated(double x, bool *ok)
{
    *ok = std::isfinite(x) && x > 0; // 0: the ratings are not known
    return x;
}

static const Gauge gauges[] = {
    {"input_volts", "Input voltage.", [](const MachineValues &v, bool *k) { return known(v.input_voltage, k); }},
    {"input_fault_volts", "Input voltage at the last fault.",
     [](const MachineValues &v, bool *k) { return known(v.input_fault_voltage, k); }},
    {"output_volts", "Output voltage.", [](const MachineValues &v, bool *k) { return known(v.output_voltage, k); }},
    {"load_ratio", "Load as a fraction of the rated load.",
     [](const MachineValues &v, bool *k) { return known(v.load_percent / 100.0, k); }},
    {"input_frequency_hertz", "Input frequency.",
     [](const MachineValues &v, bool *k) { return known(v.input_frequency, k); }},
    {"battery_volts", "Battery voltage (per cell on an on-line unit).",
     [](const MachineValues &v, bool *k) { return known(v.battery_voltage, k); }},
    {"battery_charge_ratio", "Battery charge as the console shows it (the card's, else estimated), as a fraction.",
     [](const MachineValues &v, bool *k) {
         bool empty = true;
         int p = machine_charge(v, &empty);
         *k = !empty;
         return p / 100.0;
     }},
    {"battery_runtime_seconds", "Runtime to empty as the unit reports it.",
     [](const MachineValues &v, bool *k) {
         *k = v.battery_runtime >= 0;
         return static_cast<double>(v.battery_runtime);
     }},
    {"battery_charge_low_ratio", "The unit's own low-battery limit, as a fraction.",
     [](const MachineValues &v, bool *k) { return known(v.extra[MACHINE_X_CHARGE_LOW] / 100.0, k); }},
    {"output_frequency_hertz", "Output frequency.",
     [](const MachineValues &v, bool *k) { return known(v.extra[MACHINE_X_OUTPUT_FREQUENCY], k); }},
    {"shutdown_timer_seconds", "Seconds until the unit turns its output off; -1 none counting down.",
     [](const MachineValues &v, bool *k) { return known(v.extra[MACHINE_X_DELAY_SHUTDOWN], k); }},
    {"temperature_celsius", "UPS temperature.", [](const MachineValues &v, bool *k) { return known(v.temperature, k); }},
    {"rated_input_volts", "Rated voltage.", [](const MachineValues &v, bool *k) { return rated(v.rated_voltage, k); }},
    {"rated_output_amperes", "Rated current.", [](const MachineValues &v, bool *k) { return rated(v.rated_current, k); }},
    {"rated_battery_volts", "Rated battery voltage.",
     [](const MachineValues &v, bool *k) { return rated(v.rated_battery_voltage, k); }},
    {"rated_frequency_hertz", "Rated frequency.",
     [](const MachineValues &v, bool *k) { return rated(v.rated_frequency, k); }},
    {"rated_apparent_power_voltamperes", "Rated apparent power.",
     [](const MachineValues &v, bool *k) { return rated(v.extra[MACHINE_X_POWER_NOMINAL], k); }},
};

static void line(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void line(std::string *out, const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    *out += text;
}

std::string metrics_text(MachineContext *units, int count, time_t host_deadline)
{
    std::vector<MachineValues> values(static_cast<size_t>(count < 0 ? 0 : count));
    for (int i = 0; i < count && i < 4; i++)
        machine_values(&units[i], &values[i]);
    std::string out;
    for (const Gauge &g : gauges) {
        line(&out, "# HELP upsagent_%s %s\n# TYPE upsagent_%s gauge\n", g.name, g.help, g.name);
        for (int i = 0; i < count && i < 4; i++) {
            bool ok = false;
            double x = g.value(values[i], &ok);
            if (ok)
                line(&out, "upsagent_%s{unit=\"%d\"} %.6g\n", g.name, i + 1, x);
        }
    }
    line(&out, "# HELP upsagent_status Status characters of the unit, 1 set and 0 clear.\n"
               "# TYPE upsagent_status gauge\n");
    for (int i = 0; i < count && i < 4; i++)
        for (int b = 0; b <= STATUS_CONNECTION; b++)
            line(&out, "upsagent_status{unit=\"%d\",bit=\"%s\"} %d\n", i + 1, bit_names[b],
                 values[i].status[b] == '1' ? 1 : 0);
    line(&out, "# HELP upsagent_connected Whether the unit answers.\n"
               "# TYPE upsagent_connected gauge\n");
    for (int i = 0; i < count && i < 4; i++)
        line(&out, "upsagent_connected{unit=\"%d\"} %d\n", i + 1, values[i].connected ? 1 : 0);
    line(&out, "# HELP upsagent_events_total Events logged since the daemon started, by code.\n"
               "# TYPE upsagent_events_total counter\n");
    for (int i = 0; i < count && i < 4; i++)
        for (int c = 0; c < EVENT_CODES; c++)
            if (c != STATUS_BEEPER && c != STATUS_TYPE) // never logged
                line(&out, "upsagent_events_total{unit=\"%d\",code=\"%d\",event=\"%s\"} %ld\n",
                     i + 1, c, bit_names[c], event_counts[i][c].load());
    line(&out, "# HELP upsagent_host_shutdown_deadline_seconds When the host shutdown in force "
               "is due, as Unix time; 0 when none is.\n"
               "# TYPE upsagent_host_shutdown_deadline_seconds gauge\n"
               "upsagent_host_shutdown_deadline_seconds %lld\n",
         static_cast<long long>(host_deadline));
    return out;
}

void metrics_write(MachineContext *units, int count, time_t now, Worker *worker)
{
    if (last_write && now - last_write < METRICS_PERIOD && now >= last_write)
        return;
    last_write = now;
    std::string text = metrics_text(units, count, decision_state().host_deadline);
    std::string path = database_path("metrics.prom");
    worker_submit(worker, [path, text] {
        ensure_database_dir();
        bool ok = write_file(path, text.data(), static_cast<int>(text.size()), 0644);
        write_report(path, ok, errno, "trying again every 5 s, polling goes on");
    });
}
