// Prometheus text exposition of the daemon's state, for node_exporter's
// textfile collector: "DataBase/metrics.prom", rewritten whole (temporary
// file and rename) every METRICS_PERIOD seconds by the polling loop.
#pragma once

#include <ctime>
#include <string>

#include "protocol/machine.h"

constexpr int METRICS_PERIOD = 5; // seconds between two writes

// Counts one event (unit address 1..4, event code 0..10) for the
// upsagent_events_total counter. Any thread.
void metrics_count_event(int address, int code);

// The exposition text for units 1..count (contexts `units`) and the host
// shutdown deadline in force (0 none): HELP and TYPE lines, then the
// samples, every name prefixed "upsagent_" and in base units.
std::string metrics_text(MachineContext *units, int count, time_t host_deadline);

struct Worker;

// Writes metrics_text (with the decision's host deadline) to
// "DataBase/metrics.prom" when METRICS_PERIOD has passed since the last
// write (at once the first time); otherwise does nothing, so the loop may
// call it every pass. The text is made now and written by `worker`
// (nullptr: at once). A failed write is one line, and tried again at the
// next period.
void metrics_write(MachineContext *units, int count, time_t now, Worker *worker = nullptr);
