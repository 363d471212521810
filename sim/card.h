// card.h: the simulated unit 1 as an SNMP network card shows it, the
// UPS-MIB of RFC 1628 (subtree 1.3.6.1.2.1.33.1), in the words of snmpd's
// pass_persist protocol.
//
// The readings and status bits come from the unit model (model.h) at every
// request; what a card keeps of its own lives here: the alarm table with
// its ever increasing ids, the time on battery, the test subsystem and the
// control countdowns. SETs act on the model with the same UPS commands the
// serial line carries (T, TL, CT, S.., C). Times are monotonic seconds
// (model_clock()); the card's TimeTicks count from card_setup. Every
// function is safe to call from any thread.
//
// Served (instance OIDs below 1.3.6.1.2.1.33.1), in walk order:
//   .1.1.1.0-.1.1.5.0  upsIdent: manufacturer (company), model, UPS software
//                      version (version), agent software version ("upssim
//                      card"), name (model)
//   .1.2.1.0  upsBatteryStatus: batteryLow(3) with the low bit, else batteryNormal(2)
//   .1.2.2.0  upsSecondsOnBattery: whole seconds since the mains failed, 0 on mains
//   .1.2.3.0  upsEstimatedMinutesRemaining: 3 with the low bit, else 30
//   .1.2.4.0  upsEstimatedChargeRemaining: 20 with the low bit, else 100
//   .1.2.5.0  upsBatteryVoltage: battery voltage x10 as the model holds it
//             (per cell on an on-line unit)
//   .1.2.7.0  upsBatteryTemperature: degrees C
//   .1.3.2.0  upsInputNumLines: 1
//   .1.3.3.1.{2,3}.1  upsInputFrequency (0.1 Hz), upsInputVoltage (V)
//   .1.4.1.0  upsOutputSource: none(2) while the output is off, battery(5) on a
//             mains failure, bypass(4) with the bypass bit of an on-line unit,
//             else normal(3)
//   .1.4.2.0, .1.4.3.0  upsOutputFrequency (0.1 Hz; the model's one frequency),
//             upsOutputNumLines: 1
//   .1.4.4.1.{2,5}.1  upsOutputVoltage, upsOutputPercentLoad (0..200); 0 while off
//   .1.6.1.0  upsAlarmsPresent (Gauge32)
//   .1.6.2.1.{2,3}.ID  upsAlarmDescr (an upsWellKnownAlarms OID), upsAlarmTime
//             (TimeTicks), one row per alarm present: onBattery (mains failed),
//             lowBattery, outputOverload (load over 100), onBypass (bypass bit,
//             on-line unit), upsOutputOff, generalFault (UPS failed),
//             shutdownPending (shutdown bit, output still on), testInProgress.
//             An alarm that comes gets the next id (1, 2, ...; never reused).
//   .1.7.1.0  upsTestId (read-write): the test in progress or last started,
//             noTestsInitiated(.1.7.7.1) before any
//   .1.7.2.0  upsTestSpinLock (read-write TestAndIncr, from 0)
//   .1.7.3.0  upsTestResultsSummary: inProgress(5) while the test bit is set,
//             aborted(4) after an abort, donePass(1) after any other end,
//             noTestsInitiated(6) before any
//   .1.8.1.0-.1.8.5.0  upsShutdownType, upsShutdownAfterDelay,
//             upsStartupAfterDelay, upsRebootWithDuration, upsAutoRestart
//             (read-write INTEGERs; the three countdowns read the seconds left,
//             -1 when none runs)
//   .1.9.1.0-.1.9.6.0  upsConfigInputVoltage, InputFreq, OutputVoltage,
//             OutputFreq (rated voltage and frequency), OutputVA (rated voltage x
//             rated current), OutputPower (VA x 0.8)
//   .1.9.8.0  upsConfigAudibleStatus: enabled(2) with the beeper bit, else disabled(1)
// The index columns (upsInputLineIndex, upsOutputLineIndex, upsAlarmId) are
// not-accessible in the MIB, so they are not served; their values are the
// last sub-identifier of each row's OIDs. Everything else answers NONE.
#pragma once

#include <cstddef>

constexpr int CARD_OID_TEXT_MAX = 256;  // longest OID text handled (answers are far shorter)
constexpr int CARD_VALUE_MAX = 64;      // longest value text of an answer, with its NUL
constexpr int CARD_LOG_MAX = 2 * CARD_OID_TEXT_MAX + 16;  // longest snmpset log text, with its NUL

// One varbind of an answer, as the three lines pass_persist prints.
struct CardAnswer {
  char oid[CARD_OID_TEXT_MAX];  // numeric OID with a leading dot, e.g. ".1.3.6.1.2.1.33.1.2.1.0"
  char type[12];                // "integer", "gauge", "timeticks", "objectid", "string", or
                                // "octet" (hex pairs) for a text with a byte outside 0x20..0x7E
  char value[CARD_VALUE_MAX];   // the value line, without its newline
};

// The outcome of one SET.
struct CardSetResult {
  const char* word;         // the pass_persist reply: "DONE", "not-writable", "wrong-type",
                            // "wrong-value" or "inconsistent-value" (static text)
  bool taken;               // true exactly when word is "DONE"
  char log[CARD_LOG_MAX];   // taken: "<OID without leading dot> <type> <value>", the value
                            // normalised (decimal, or an OID without dot or quotes);
                            // otherwise empty
};

// Starts a fresh card at `now`: no alarms, ids from 1, spin lock 0, no test,
// no countdowns, shutdown type output(1), auto restart on(1), both test
// modes off. The model must be set up (model_setup) by the caller.
void card_setup(double now);

// Follows the model up to `now`: alarms come and go, the time on battery
// starts and ends, countdowns run out, the test result follows the test bit.
// Every card_get/card_getnext/card_set does this first.
void card_tick(double now);

// Answers a GET of the instance `oid` (numeric, leading dot optional).
// Returns true and fills *out when the card serves it; false (answer NONE)
// for anything else, a malformed OID included.
bool card_get(const char* oid, double now, CardAnswer* out);

// Answers a GETNEXT: the first served instance after `oid` in OID order
// (`oid` need not be an instance). Returns false (NONE) past the last one or
// for a malformed OID.
bool card_getnext(const char* oid, double now, CardAnswer* out);

// Applies a SET of `oid` to the value line `type_value` as snmpd passes it
// ("integer 120", "objectid \".1.3.6.1.2.1.33.1.7.7.4\""). Fills *out; see
// CardSetResult. Writable: upsTestId (objectid; abortTestInProgress,
// generalSystemsTest, quickBatteryTest, deepBatteryCalibration; a new test
// while one runs is inconsistent-value), upsTestSpinLock (integer, the
// current value only), upsShutdownType (1, 2), upsShutdownAfterDelay (-1 ..
// 2147483647; -1 cancels), upsStartupAfterDelay (likewise), upsRebootWithDuration
// (-1 .. 300), upsAutoRestart (1, 2). The startup and reboot countdowns and the
// shutdown type and auto restart are kept and read back only.
void card_set(const char* oid, const char* type_value, double now, CardSetResult* out);

// Applies one control line meant for the card (without its newline):
//   card partial on|off    only upsInputVoltage, upsOutputSource and
//                          upsBatteryStatus are served (and nothing is writable)
//   card wrongtype on|off  upsInputVoltage is answered as an OCTET STRING
// Returns true when the line was such a command (it is applied then), false
// for any other line (nothing changes).
bool card_control(const char* line);
