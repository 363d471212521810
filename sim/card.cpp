// card.cpp: the UPS-MIB view of unit 1. The card's own state lives here
// behind g_lock; readings and bits are taken from the model at each request.
// Lock order: g_lock, then the model's (the model never calls back).
#include "card.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "model.h"

static constexpr int k_subids_max = 128;       // sub-identifiers of an OID we parse
static constexpr int k_entries_max = 96;       // instances served at once, alarm cells included
static constexpr double k_power_factor = 0.8;  // watts per VA for upsConfigOutputPower

// upsObjects, 1.3.6.1.2.1.33.1: every served OID starts with it.
static const uint32_t k_base[] = {1, 3, 6, 1, 2, 1, 33, 1};
static constexpr int k_base_len = 8;

// upsWellKnownAlarms used, in the order alarms found together get their ids.
enum {
  CARD_ALARM_ON_BATTERY,
  CARD_ALARM_LOW_BATTERY,
  CARD_ALARM_OVERLOAD,
  CARD_ALARM_ON_BYPASS,
  CARD_ALARM_OUTPUT_OFF,
  CARD_ALARM_GENERAL_FAULT,
  CARD_ALARM_SHUTDOWN_PENDING,
  CARD_ALARM_TEST,
  CARD_ALARM_KINDS,
};
static const uint32_t k_alarm_arc[CARD_ALARM_KINDS] = {2, 3, 8, 9, 14, 18, 22, 24};

// upsWellKnownTests arcs below 1.7.7 and upsTestResultsSummary values.
enum { CARD_TEST_NONE = 1, CARD_TEST_ABORT = 2, CARD_TEST_GENERAL = 3, CARD_TEST_QUICK = 4,
       CARD_TEST_DEEP = 5 };
enum { CARD_RESULT_PASS = 1, CARD_RESULT_ABORTED = 4, CARD_RESULT_RUNNING = 5,
       CARD_RESULT_NONE = 6 };

struct card_oid {
  uint32_t sub[k_subids_max];  // sub-identifiers
  int len;                     // how many
};

struct card_entry {
  card_oid oid;                 // the instance
  const char* type;             // pass_persist type word
  char value[CARD_VALUE_MAX];   // value line
};

struct card_row {
  int kind;     // CARD_ALARM_*
  long id;      // upsAlarmId
  long ticks;   // upsAlarmTime
};

// A countdown of upsControl: runs while `on` until `ends`.
struct card_countdown {
  bool on;
  double ends;  // monotonic seconds
};

static std::mutex g_lock;
static double g_start = 0;                 // TimeTicks zero
static card_row g_rows[CARD_ALARM_KINDS];  // alarms present, oldest first
static int g_row_count = 0;
static long g_next_id = 1;
static bool g_on_battery = false;          // the mains failure the card has seen
static double g_battery_since = 0;
static int g_test_id = CARD_TEST_NONE;     // upsTestId arc
static int g_test_result = CARD_RESULT_NONE;
static bool g_test_seen = false;           // the test bit as last seen
static bool g_abort_asked = false;         // the test bit's next end is an abort
static long g_spin = 0;                    // upsTestSpinLock
static int g_shutdown_type = 1;
static int g_auto_restart = 1;
static card_countdown g_shutdown{};        // upsShutdownAfterDelay
static card_countdown g_startup{};         // upsStartupAfterDelay (kept only)
static card_countdown g_reboot{};          // upsRebootWithDuration (kept only)
static bool g_output_off = false;          // a shutdown countdown ran out, the bit still set
static bool g_partial = false;
static bool g_wrongtype = false;

// ---- OIDs ------------------------------------------------------------------

// Numeric text, leading dot optional; false when malformed or too long.
static bool card_oid_parse(const char* text, card_oid* out) {
  out->len = 0;
  if (!text) return false;
  const char* p = text;
  if (*p == '.') p++;
  if (*p == '\0') return false;
  while (*p) {
    if (*p < '0' || *p > '9' || out->len == k_subids_max) return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + static_cast<uint64_t>(*p - '0');
      if (v > 0xFFFFFFFFull) return false;
      p++;
    }
    out->sub[out->len++] = static_cast<uint32_t>(v);
    if (*p == '.') {
      p++;
      if (*p == '\0') return false;
    } else if (*p != '\0') {
      return false;
    }
  }
  return true;
}

// Without the leading dot when `dot` is false. Returns false when it does not fit.
static bool card_oid_text(const card_oid& o, bool dot, char* out, size_t cap) {
  size_t w = 0;
  for (int i = 0; i < o.len; i++) {
    int n = snprintf(out + w, cap - w, (i > 0 || dot) ? ".%u" : "%u", o.sub[i]);
    if (n < 0 || static_cast<size_t>(n) >= cap - w) return false;
    w += static_cast<size_t>(n);
  }
  return true;
}

static int card_oid_compare(const card_oid& a, const card_oid& b) {
  int n = a.len < b.len ? a.len : b.len;
  for (int i = 0; i < n; i++)
    if (a.sub[i] != b.sub[i]) return a.sub[i] < b.sub[i] ? -1 : 1;
  return a.len == b.len ? 0 : (a.len < b.len ? -1 : 1);
}

// upsObjects followed by `tail`.
static card_oid card_oid_make(std::initializer_list<uint32_t> tail) {
  card_oid o{};
  for (int i = 0; i < k_base_len; i++) o.sub[o.len++] = k_base[i];
  for (uint32_t s : tail) o.sub[o.len++] = s;
  return o;
}

static bool card_oid_is(const card_oid& o, std::initializer_list<uint32_t> tail) {
  return card_oid_compare(o, card_oid_make(tail)) == 0;
}

// ---- following the model -----------------------------------------------------

static long card_ticks(double now) {
  double t = (now - g_start) * 100.0;
  return t > 0 ? static_cast<long>(t) : 0;
}

// Rounds into [lo, hi]; NaN ends at lo.
static long card_round(double v, long lo, long hi) {
  if (!(v >= static_cast<double>(lo))) return lo;
  if (v >= static_cast<double>(hi)) return hi;
  return std::lround(v);
}

// Seconds left of a countdown (rounded up), -1 when none runs.
static long card_left(const card_countdown& c, double now) {
  if (!c.on) return -1;
  double left = std::ceil(c.ends - now);
  return left > 0 ? static_cast<long>(left) : 0;
}

static bool card_alarm_holds(int kind, const ModelUnit& u) {
  bool online = !(u.bits & MODEL_BIT_OFFLINE);
  switch (kind) {
    case CARD_ALARM_ON_BATTERY: return u.bits & MODEL_BIT_MAINS_FAILED;
    case CARD_ALARM_LOW_BATTERY: return u.bits & MODEL_BIT_BATTERY_LOW;
    case CARD_ALARM_OVERLOAD: return !g_output_off && u.load > 100;
    case CARD_ALARM_ON_BYPASS: return online && (u.bits & MODEL_BIT_BYPASS);
    case CARD_ALARM_OUTPUT_OFF: return g_output_off;
    case CARD_ALARM_GENERAL_FAULT: return u.bits & MODEL_BIT_FAILED;
    case CARD_ALARM_SHUTDOWN_PENDING: return !g_output_off && (u.bits & MODEL_BIT_SHUTDOWN);
    case CARD_ALARM_TEST: return u.bits & MODEL_BIT_TEST;
    default: return false;
  }
}

// Takes unit 1 from the model and moves the card's own state up to `now`.
static void card_follow_locked(double now, ModelUnit* u) {
  model_tick(now);
  if (!model_snapshot(1, u)) *u = ModelUnit{};

  bool failed = u->bits & MODEL_BIT_MAINS_FAILED;
  if (failed && !g_on_battery) g_battery_since = now;
  g_on_battery = failed;

  bool test = u->bits & MODEL_BIT_TEST;
  if (test && !g_test_seen) {
    // A test started on the line or by hand runs under a general name.
    if (g_test_id == CARD_TEST_NONE) g_test_id = CARD_TEST_GENERAL;
    g_test_result = CARD_RESULT_RUNNING;
  } else if (!test && g_test_seen) {
    g_test_result = g_abort_asked ? CARD_RESULT_ABORTED : CARD_RESULT_PASS;
  }
  if (!test) g_abort_asked = false;
  g_test_seen = test;

  if (!(u->bits & MODEL_BIT_SHUTDOWN)) {
    // Cancelled (C, -1, `shutdown off`, `reset`): the output is back too.
    g_shutdown.on = false;
    g_output_off = false;
  } else if (g_shutdown.on && now >= g_shutdown.ends) {
    g_shutdown.on = false;
    g_output_off = true;
  }
  if (g_startup.on && now >= g_startup.ends) g_startup.on = false;
  if (g_reboot.on && now >= g_reboot.ends) g_reboot.on = false;

  for (int kind = 0; kind < CARD_ALARM_KINDS; kind++) {
    int at = -1;
    for (int i = 0; i < g_row_count; i++)
      if (g_rows[i].kind == kind) at = i;
    bool holds = card_alarm_holds(kind, *u);
    if (holds && at < 0) {
      g_rows[g_row_count++] = card_row{kind, g_next_id, card_ticks(now)};
      g_next_id = g_next_id < 2147483647L ? g_next_id + 1 : 1;
    } else if (!holds && at >= 0) {
      memmove(&g_rows[at], &g_rows[at + 1], sizeof g_rows[0] * (g_row_count - at - 1));
      g_row_count--;
    }
  }
}

// ---- the instances -----------------------------------------------------------

struct card_list {
  card_entry items[k_entries_max];
  int count;
};

static void card_add(card_list* l, const card_oid& oid, const char* type, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

static void card_add(card_list* l, const card_oid& oid, const char* type, const char* format, ...) {
  if (l->count == k_entries_max) return;
  card_entry* e = &l->items[l->count++];
  e->oid = oid;
  e->type = type;
  va_list args;
  va_start(args, format);
  vsnprintf(e->value, sizeof e->value, format, args);
  va_end(args);
}

static void card_add_int(card_list* l, std::initializer_list<uint32_t> tail, long v) {
  card_add(l, card_oid_make(tail), "integer", "%ld", v);
}

// A text as a "string" line, or, when it holds a byte outside 0x20..0x7E
// (a line end would end the value line), as "octet" in hexadecimal pairs.
static void card_add_text(card_list* l, std::initializer_list<uint32_t> tail, const char* text) {
  bool printable = true;
  for (const char* p = text; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c > 0x7E) printable = false;
  }
  if (printable) {
    card_add(l, card_oid_make(tail), "string", "%s", text);
    return;
  }
  char hex[CARD_VALUE_MAX] = "";
  size_t used = 0;
  for (const char* p = text; *p && used + 4 <= sizeof hex; p++)
    used += static_cast<size_t>(snprintf(hex + used, sizeof hex - used, "%s%02X", used ? " " : "",
                                         static_cast<unsigned char>(*p)));
  card_add(l, card_oid_make(tail), "octet", "%s", hex);
}

// Every instance served now, in OID order.
static void card_build_locked(double now, const ModelUnit& u, card_list* l) {
  l->count = 0;
  bool low = u.bits & MODEL_BIT_BATTERY_LOW;
  bool failed = u.bits & MODEL_BIT_MAINS_FAILED;
  bool online = !(u.bits & MODEL_BIT_OFFLINE);
  const long k_max = 2147483647L;
  long source = 3;
  if (g_output_off) source = 2;
  else if (failed) source = 5;
  else if (online && (u.bits & MODEL_BIT_BYPASS)) source = 4;
  long input_voltage = card_round(u.input_voltage, 0, k_max);

  if (g_partial) {
    card_add_int(l, {2, 1, 0}, low ? 3 : 2);
    card_add_int(l, {3, 3, 1, 3, 1}, input_voltage);
    card_add_int(l, {4, 1, 0}, source);
  } else {
    card_add_text(l, {1, 1, 0}, u.company);
    card_add_text(l, {1, 2, 0}, u.model);
    card_add_text(l, {1, 3, 0}, u.version);
    card_add(l, card_oid_make({1, 4, 0}), "string", "upssim card");
    card_add_text(l, {1, 5, 0}, u.model);
    card_add_int(l, {2, 1, 0}, low ? 3 : 2);
    card_add_int(l, {2, 2, 0}, failed ? card_round(std::floor(now - g_battery_since), 0, k_max) : 0);
    card_add_int(l, {2, 3, 0}, low ? 3 : 30);
    card_add_int(l, {2, 4, 0}, low ? 20 : 100);
    card_add_int(l, {2, 5, 0}, card_round(u.battery_voltage * 10.0, 0, k_max));
    card_add_int(l, {2, 7, 0}, card_round(u.temperature, -k_max, k_max));
    card_add_int(l, {3, 2, 0}, 1);
    card_add_int(l, {3, 3, 1, 2, 1}, card_round(u.frequency * 10.0, 0, k_max));
    card_add_int(l, {3, 3, 1, 3, 1}, input_voltage);
    card_add_int(l, {4, 1, 0}, source);
    card_add_int(l, {4, 2, 0}, card_round(u.frequency * 10.0, 0, k_max));
    card_add_int(l, {4, 3, 0}, 1);
    card_add_int(l, {4, 4, 1, 2, 1}, g_output_off ? 0 : card_round(u.output_voltage, 0, k_max));
    card_add_int(l, {4, 4, 1, 5, 1}, g_output_off ? 0 : card_round(u.load, 0, 200));
    card_add(l, card_oid_make({6, 1, 0}), "gauge", "%d", g_row_count);
    for (int i = 0; i < g_row_count; i++)
      card_add(l, card_oid_make({6, 2, 1, 2, static_cast<uint32_t>(g_rows[i].id)}), "objectid",
               ".1.3.6.1.2.1.33.1.6.3.%u", k_alarm_arc[g_rows[i].kind]);
    for (int i = 0; i < g_row_count; i++)
      card_add(l, card_oid_make({6, 2, 1, 3, static_cast<uint32_t>(g_rows[i].id)}), "timeticks",
               "%ld", g_rows[i].ticks);
    card_add(l, card_oid_make({7, 1, 0}), "objectid", ".1.3.6.1.2.1.33.1.7.7.%d", g_test_id);
    card_add_int(l, {7, 2, 0}, g_spin);
    card_add_int(l, {7, 3, 0}, g_test_result);
    card_add_int(l, {8, 1, 0}, g_shutdown_type);
    long shutdown_left = card_left(g_shutdown, now);
    // A shutdown started on the line or by hand runs for an unknown time.
    if (shutdown_left < 0 && (u.bits & MODEL_BIT_SHUTDOWN) && !g_output_off) shutdown_left = 0;
    card_add_int(l, {8, 2, 0}, shutdown_left);
    card_add_int(l, {8, 3, 0}, card_left(g_startup, now));
    card_add_int(l, {8, 4, 0}, card_left(g_reboot, now));
    card_add_int(l, {8, 5, 0}, g_auto_restart);
    long va = card_round(u.rated_voltage * static_cast<double>(u.rated_current), 0, k_max);
    card_add_int(l, {9, 1, 0}, card_round(u.rated_voltage, 0, k_max));
    card_add_int(l, {9, 2, 0}, card_round(u.rated_frequency * 10.0, 0, k_max));
    card_add_int(l, {9, 3, 0}, card_round(u.rated_voltage, 0, k_max));
    card_add_int(l, {9, 4, 0}, card_round(u.rated_frequency * 10.0, 0, k_max));
    card_add_int(l, {9, 5, 0}, va);
    card_add_int(l, {9, 6, 0}, card_round(static_cast<double>(va) * k_power_factor, 0, k_max));
    card_add_int(l, {9, 8, 0}, (u.bits & MODEL_BIT_BEEPER) ? 2 : 1);
  }
  if (g_wrongtype) {
    for (int i = 0; i < l->count; i++)
      if (card_oid_is(l->items[i].oid, {3, 3, 1, 3, 1})) l->items[i].type = "string";
  }
}

static void card_answer(const card_entry& e, CardAnswer* out) {
  if (!card_oid_text(e.oid, true, out->oid, sizeof out->oid)) out->oid[0] = '\0';
  snprintf(out->type, sizeof out->type, "%s", e.type);
  snprintf(out->value, sizeof out->value, "%s", e.value);
}

// The list is built in OID order; GET and GETNEXT search it.
static bool card_find(const char* oid, double now, bool next, CardAnswer* out) {
  card_oid want;
  if (!out || !card_oid_parse(oid, &want)) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  ModelUnit u;
  card_follow_locked(now, &u);
  static card_list list;  // large; used under g_lock only
  card_build_locked(now, u, &list);
  for (int i = 0; i < list.count; i++) {
    int c = card_oid_compare(list.items[i].oid, want);
    if (next ? c > 0 : c == 0) {
      card_answer(list.items[i], out);
      return true;
    }
  }
  return false;
}

// ---- public --------------------------------------------------------------------

void card_setup(double now) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_start = now;
  g_row_count = 0;
  g_next_id = 1;
  g_on_battery = false;
  g_battery_since = now;
  g_test_id = CARD_TEST_NONE;
  g_test_result = CARD_RESULT_NONE;
  g_test_seen = false;
  g_abort_asked = false;
  g_spin = 0;
  g_shutdown_type = 1;
  g_auto_restart = 1;
  g_shutdown = g_startup = g_reboot = card_countdown{};
  g_output_off = false;
  g_partial = false;
  g_wrongtype = false;
}

void card_tick(double now) {
  std::lock_guard<std::mutex> hold(g_lock);
  ModelUnit u;
  card_follow_locked(now, &u);
}

bool card_get(const char* oid, double now, CardAnswer* out) {
  return card_find(oid, now, false, out);
}

bool card_getnext(const char* oid, double now, CardAnswer* out) {
  return card_find(oid, now, true, out);
}

// A UPS command as the serial line carries it, to every unit of the model.
static void card_command(const char* text, double now) {
  unsigned char bytes[32];
  int n = snprintf(reinterpret_cast<char*>(bytes), sizeof bytes, "%s\r", text);
  if (n <= 0 || n >= static_cast<int>(sizeof bytes)) return;
  ModelReply ignored;
  model_request(bytes, static_cast<size_t>(n), now, &ignored);
}

// Strict decimal, sign allowed, within a long.
static bool card_parse_long(const char* text, long* out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == ' ' || text[0] == '+') return false;
  *out = v;
  return true;
}

static void card_refuse(CardSetResult* out, const char* word) {
  out->word = word;
  out->taken = false;
  out->log[0] = '\0';
}

// The writable objects, by their place below upsObjects.
enum { CARD_W_TEST_ID, CARD_W_SPIN, CARD_W_SHUTDOWN_TYPE, CARD_W_SHUTDOWN, CARD_W_STARTUP,
       CARD_W_REBOOT, CARD_W_AUTO_RESTART, CARD_W_NONE };

static int card_writable(const card_oid& o) {
  if (card_oid_is(o, {7, 1, 0})) return CARD_W_TEST_ID;
  if (card_oid_is(o, {7, 2, 0})) return CARD_W_SPIN;
  if (card_oid_is(o, {8, 1, 0})) return CARD_W_SHUTDOWN_TYPE;
  if (card_oid_is(o, {8, 2, 0})) return CARD_W_SHUTDOWN;
  if (card_oid_is(o, {8, 3, 0})) return CARD_W_STARTUP;
  if (card_oid_is(o, {8, 4, 0})) return CARD_W_REBOOT;
  if (card_oid_is(o, {8, 5, 0})) return CARD_W_AUTO_RESTART;
  return CARD_W_NONE;
}

void card_set(const char* oid, const char* type_value, double now, CardSetResult* out) {
  if (!out) return;
  card_refuse(out, "not-writable");
  card_oid target;
  if (!card_oid_parse(oid, &target) || !type_value) return;

  // "TYPE VALUE"; an OBJECT IDENTIFIER comes quoted.
  char type[16];
  char value[CARD_OID_TEXT_MAX];
  const char* blank = strchr(type_value, ' ');
  size_t type_len = blank ? static_cast<size_t>(blank - type_value) : strlen(type_value);
  if (type_len == 0 || type_len >= sizeof type) return card_refuse(out, "wrong-type");
  memcpy(type, type_value, type_len);
  type[type_len] = '\0';
  const char* v = blank ? blank + 1 : "";
  size_t v_len = strlen(v);
  if (v_len >= 2 && v[0] == '"' && v[v_len - 1] == '"') {
    v++;
    v_len -= 2;
  }
  if (v_len >= sizeof value) return card_refuse(out, "wrong-value");
  memcpy(value, v, v_len);
  value[v_len] = '\0';

  std::lock_guard<std::mutex> hold(g_lock);
  ModelUnit u;
  card_follow_locked(now, &u);
  int what = g_partial ? CARD_W_NONE : card_writable(target);
  if (what == CARD_W_NONE) return;

  char shown[CARD_OID_TEXT_MAX];  // the value as logged
  if (what == CARD_W_TEST_ID) {
    if (strcmp(type, "objectid") != 0) return card_refuse(out, "wrong-type");
    card_oid test;
    if (!card_oid_parse(value, &test)) return card_refuse(out, "wrong-value");
    card_oid tests = card_oid_make({7, 7});
    bool known = test.len == tests.len + 1 && test.sub[test.len - 1] >= CARD_TEST_ABORT &&
                 test.sub[test.len - 1] <= CARD_TEST_DEEP;
    for (int i = 0; known && i < tests.len; i++) known = test.sub[i] == tests.sub[i];
    if (!known) return card_refuse(out, "wrong-value");
    int arc = static_cast<int>(test.sub[test.len - 1]);
    bool running = u.bits & MODEL_BIT_TEST;
    if (arc == CARD_TEST_ABORT) {
      if (running) g_abort_asked = true;
      card_command("CT", now);
    } else {
      if (running) return card_refuse(out, "inconsistent-value");
      g_test_id = arc;
      card_command(arc == CARD_TEST_DEEP ? "TL" : "T", now);
    }
    card_oid_text(test, false, shown, sizeof shown);
  } else {
    if (strcmp(type, "integer") != 0) return card_refuse(out, "wrong-type");
    long n;
    if (!card_parse_long(value, &n)) return card_refuse(out, "wrong-value");
    switch (what) {
      case CARD_W_SPIN:
        if (n != g_spin) return card_refuse(out, "inconsistent-value");
        g_spin = g_spin < 2147483647L ? g_spin + 1 : 0;
        break;
      case CARD_W_SHUTDOWN_TYPE:
      case CARD_W_AUTO_RESTART:
        if (n != 1 && n != 2) return card_refuse(out, "wrong-value");
        (what == CARD_W_SHUTDOWN_TYPE ? g_shutdown_type : g_auto_restart) = static_cast<int>(n);
        break;
      case CARD_W_SHUTDOWN:
        if (n < -1 || n > 2147483647L) return card_refuse(out, "wrong-value");
        if (n == -1) {
          card_command("C", now);
        } else {
          // The line's "S" command counts whole minutes.
          char command[24];
          snprintf(command, sizeof command, "S%02ld", (n + 59) / 60);
          card_command(command, now);
          g_shutdown = card_countdown{true, now + static_cast<double>(n)};
        }
        break;
      case CARD_W_STARTUP:
      case CARD_W_REBOOT: {
        if (n < -1 || n > (what == CARD_W_REBOOT ? 300 : 2147483647L))
          return card_refuse(out, "wrong-value");
        card_countdown* c = what == CARD_W_REBOOT ? &g_reboot : &g_startup;
        *c = card_countdown{n >= 0, now + static_cast<double>(n)};
        break;
      }
      default:
        return;
    }
    snprintf(shown, sizeof shown, "%ld", n);
  }
  card_follow_locked(now, &u);
  char name[CARD_OID_TEXT_MAX];
  card_oid_text(target, false, name, sizeof name);
  out->word = "DONE";
  out->taken = true;
  snprintf(out->log, sizeof out->log, "%s %s %s", name, type, shown);
}

bool card_control(const char* line) {
  if (!line) return false;
  char word[3][16];
  char extra;
  if (sscanf(line, " %15s %15s %15s %c", word[0], word[1], word[2], &extra) != 3) return false;
  if (strcmp(word[0], "card") != 0) return false;
  bool on;
  if (strcmp(word[2], "on") == 0) on = true;
  else if (strcmp(word[2], "off") == 0) on = false;
  else return false;
  std::lock_guard<std::mutex> hold(g_lock);
  if (strcmp(word[1], "partial") == 0) g_partial = on;
  else if (strcmp(word[1], "wrongtype") == 0) g_wrongtype = on;
  else return false;
  return true;
}
