// upsagent's unit that is a USB HID Power Device (link kind "HID"): unit 1
// read over the HID link (link/hid) with the meaning of its usages from
// protocol/hid_map. Everything above (events, decision, history, servers)
// sees the unit as it sees any other.
//
// On the daemon's event loop: the Feature reports the mapping needs are
// fetched every HID_UNIT_POLL_SECONDS, each once per pass, and every Input
// report the unit sends on its interrupt endpoint is taken at once, so a
// mains failure it reports that way reaches the decision within the
// loop's wake, not at the next poll. The next command of unit 1's queue
// goes out before a pass as Feature writes (the reports read fresh, the
// fields set, written back whole).
//
// Never stale silently: a fetch that brings nothing (a transfer error, a
// unit that stops answering, one that left) counts as a failed receive;
// the fourth in a row loses the unit (Disconnect). A unit that left, or was
// lost, is looked for again (the same one: by serial number when it has
// one, else by vendor, product and bus port) with a back-off from
// HID_UNIT_RETRY_MIN to HID_UNIT_RETRY_MAX seconds, without a replug or a
// restart; found again it answers (Connect).
//
// The loop's thread only.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "base/loop.h"
#include "link/hid.h"
#include "protocol/hid_map.h"
#include "protocol/machine.h"

constexpr double HID_UNIT_POLL_SECONDS = 2.0;
constexpr double HID_UNIT_RETRY_MIN = 2.0;  // the first look for a unit that is gone
constexpr double HID_UNIT_RETRY_MAX = 30.0; // back-off ceiling

// A reading was taken (or missed) for `unit` at wall time `now`.
using HidUnitCheck = void (*)(MachineContext *unit, time_t now);

// The loop the unit's link works on, and the unit and check every reading
// goes to; once, at start.
void hid_unit_attach(Loop *loop, MachineContext *unit, HidUnitCheck check);

// The unit named by line 3 of the settings ("", "vvvv:pppp" or
// "vvvv:pppp:SERIAL"). Returns false after one line saying why the text
// cannot be used (then no unit is polled). The link is closed; the next
// hid_unit_poll opens it.
bool hid_unit_configure(const std::string &device);

// No unit is polled any more: the link is closed, what is in flight
// dropped without a reading.
void hid_unit_close();

// True while a unit is configured.
bool hid_unit_active();

// The unit as diagnostics name it: "USB HID unit" and its match.
std::string hid_unit_name();

// Called by the daemon every pass: opens the link when it is due (at once
// after configure, then with the back-off), sends the next queued command,
// and starts the pass of Feature reports every HID_UNIT_POLL_SECONDS.
// Never waits on the unit, except for the bounded open (each control
// transfer of it at most a second).
void hid_unit_poll(LoopTime now);

// The Feature reports `writes` touch, each once with its declared length:
// what is read before the writes are put in and the reports written back.
std::vector<HidReportRequest> hid_unit_write_reports(const HidDescriptor &d,
                                                     const std::vector<HidWrite> &writes);
