// model.cpp: the simulated UPS units. All state lives here behind g_lock.
#include "model.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

static std::mutex g_lock;
static ModelUnit g_units[MODEL_UNITS_MAX];
static ModelUnit g_saved[MODEL_UNITS_MAX];  // state a pending `for N` restores
static int g_revert_left[MODEL_UNITS_MAX];   // status replies until that restore; 0 none
static int g_count = 1;                      // units on the line
static int g_type = MODEL_ONLINE;            // type the units are reset to
static uint64_t g_seed = 1;
static uint64_t g_rng = 1;
static long g_gap_us = 0;    // line-wide `slow`
static long g_delay_ms = 0;  // line-wide `delay`
static int g_log_fd = -1;

static constexpr double k_test_seconds = 10.0;
static constexpr long k_for_max = 1000000;
static constexpr double k_flap_min = 0.1;    // seconds between mains changes of `mains flap`
static constexpr double k_flap_max = 86400.0;

// ---- helpers -------------------------------------------------------------

// splitmix64 turns any seed (0 too) into a usable xorshift state.
static uint64_t model_seed_mix(uint64_t seed) {
  uint64_t z = seed + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return z ? z : 1;
}

static uint64_t model_random_locked() {
  g_rng ^= g_rng << 13;
  g_rng ^= g_rng >> 7;
  g_rng ^= g_rng << 17;
  return g_rng;
}

// NaN ends up at `lo`, so a reply field can never print as "nan".
static double model_clamp(double v, double lo, double hi) {
  if (!(v >= lo)) return lo;
  return v > hi ? hi : v;
}

static int model_clamp_int(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

static void model_text_set(char* dst, int width, const char* src, size_t len) {
  size_t n = len < static_cast<size_t>(width) ? len : static_cast<size_t>(width);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

static void model_defaults(ModelUnit* u, int number, int type) {
  *u = ModelUnit{};
  u->input_voltage = 230.0;
  u->fault_voltage = 230.0;
  u->output_voltage = 230.0;
  u->load = 25;
  u->frequency = 50.0;
  u->temperature = 25.0;
  u->rated_voltage = 230.0;
  u->rated_current = 4;
  u->rated_frequency = 50.0;
  if (type == MODEL_OFFLINE) {
    u->battery_voltage = 27.0;
    u->rated_battery_voltage = 24.0;
    u->bits = MODEL_BIT_OFFLINE;
  } else {
    u->battery_voltage = 2.25;
    u->rated_battery_voltage = 48.0;
    u->bits = 0;
  }
  model_text_set(u->company, MODEL_COMPANY_WIDTH, "SIMULATED", 9);
  char name[] = "SIM-100?";
  name[7] = static_cast<char>('0' + number);
  model_text_set(u->model, MODEL_MODEL_WIDTH, name, sizeof name - 1);
  model_text_set(u->version, MODEL_VERSION_WIDTH, "1.0", 3);
  u->noise_field = -1;
}

static void model_reset_locked() {
  for (int i = 0; i < MODEL_UNITS_MAX; i++) {
    model_defaults(&g_units[i], i + 1, g_type);
    g_revert_left[i] = 0;
  }
  g_gap_us = 0;
  g_delay_ms = 0;
  g_rng = model_seed_mix(g_seed);
}

static void model_mains_locked(ModelUnit* u, bool failed) {
  if (failed) {
    // A second failure must not remember 0.0 as the good voltage.
    if (!u->mains_saved) {
      u->mains_voltage = u->input_voltage;
      u->mains_saved = true;
    }
    u->bits |= MODEL_BIT_MAINS_FAILED;
    u->input_voltage = 0.0;
  } else {
    u->bits &= static_cast<uint8_t>(~MODEL_BIT_MAINS_FAILED);
    if (u->mains_saved) u->input_voltage = u->mains_voltage;
    u->mains_saved = false;
  }
}

// Failed in the even periods since the flapping started (a `now` before its
// start counts as the first), back in the odd ones.
static bool model_flap_failed(const ModelUnit* u, double now) {
  double periods = (now - u->flap_start) / u->flap_period;
  return !(periods >= 0.0) || static_cast<long long>(std::floor(periods)) % 2 == 0;
}

static void model_tick_locked(double now) {
  for (int i = 0; i < MODEL_UNITS_MAX; i++) {
    ModelUnit* u = &g_units[i];
    if (u->test_timed && now >= u->test_ends) {
      u->bits &= static_cast<uint8_t>(~MODEL_BIT_TEST);
      u->test_timed = false;
    }
    if (u->flap_period > 0.0) {
      bool failed = model_flap_failed(u, now);
      if (failed != ((u->bits & MODEL_BIT_MAINS_FAILED) != 0)) model_mains_locked(u, failed);
    }
  }
}

// ---- replies -------------------------------------------------------------

static double* model_real_field(ModelUnit* u, int id);  // with the control commands

// Formats into `out` (at least MODEL_REPLY_MAX bytes); returns the length.
// Every value is clamped to what its field can print so the layout holds.
static int model_format_status(const ModelUnit* u, unsigned char* out) {
  char battery[16];
  double b = model_clamp(u->battery_voltage, 0.0, 99.9);
  // Below 9.995 "%4.2f" stays at 4 characters; from there it would print 10.00.
  if (b < 9.995)
    snprintf(battery, sizeof battery, "%4.2f", b);
  else
    snprintf(battery, sizeof battery, "%4.1f", b);
  char bits[9];
  for (int i = 0; i < 8; i++) bits[i] = (u->bits & (0x80 >> i)) ? '1' : '0';
  bits[8] = '\0';
  char text[MODEL_REPLY_MAX];
  int n = snprintf(text, sizeof text, "(%05.1f %05.1f %05.1f %03d %04.1f %.4s %04.1f %s\r",
                   model_clamp(u->input_voltage, 0.0, 999.9),
                   model_clamp(u->fault_voltage, 0.0, 999.9),
                   model_clamp(u->output_voltage, 0.0, 999.9), model_clamp_int(u->load, 0, 999),
                   model_clamp(u->frequency, 0.0, 99.9), battery,
                   model_clamp(u->temperature, 0.0, 99.9), bits);
  if (n < 0 || n >= MODEL_REPLY_MAX) return 0;
  memcpy(out, text, static_cast<size_t>(n));
  return n;
}

static int model_format_identity(const ModelUnit* u, unsigned char* out) {
  char text[MODEL_REPLY_MAX];
  int n = snprintf(text, sizeof text, "#%-15.15s %-10.10s %-10.10s\r", u->company, u->model,
                   u->version);
  if (n < 0 || n >= MODEL_REPLY_MAX) return 0;
  memcpy(out, text, static_cast<size_t>(n));
  return n;
}

static int model_format_rating(const ModelUnit* u, unsigned char* out) {
  char text[MODEL_REPLY_MAX];
  int n = snprintf(text, sizeof text, "#%05.1f %03d %05.1f %04.1f\r",
                   model_clamp(u->rated_voltage, 0.0, 999.9),
                   model_clamp_int(u->rated_current, 0, 999),
                   model_clamp(u->rated_battery_voltage, 0.0, 999.9),
                   model_clamp(u->rated_frequency, 0.0, 99.9));
  if (n < 0 || n >= MODEL_REPLY_MAX) return 0;
  memcpy(out, text, static_cast<size_t>(n));
  return n;
}

// Applies the unit's garbage and length fault modes to a formatted reply;
// `length` is the forced length for this kind of reply (0 off).
static int model_disturb_locked(ModelUnit* u, unsigned char* bytes, int len, int length,
                                bool status) {
  if (len <= 0) return 0;
  if (u->garbage == MODEL_GARBAGE_BITS) {
    if (status) {
      bytes[len - 9] = 'x';  // b7, the first of the eight status characters
      u->garbage = MODEL_GARBAGE_OFF;
    }
  } else if (u->garbage != MODEL_GARBAGE_OFF) {
    for (int i = 0; i < len - 1; i++)
      bytes[i] = static_cast<unsigned char>('A' + model_random_locked() % 26);
    if (u->garbage == MODEL_GARBAGE_ONCE) u->garbage = MODEL_GARBAGE_OFF;
  }
  // A forced length keeps the CR last so the reader sees a framed reply of
  // the wrong length rather than a missing one.
  if (length > 0 && length != len) {
    int want = length;
    for (int i = len - 1; i < want - 1; i++) bytes[i] = ' ';
    bytes[want - 1] = '\r';
    len = want;
  }
  return len;
}

// ---- requests ------------------------------------------------------------

static bool model_equals(const unsigned char* b, size_t n, const char* word) {
  size_t w = strlen(word);
  return n == w && memcmp(b, word, w) == 0;
}

static bool model_digits(const unsigned char* b, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (b[i] < '0' || b[i] > '9') return false;
  return true;
}

// "S" nn [ "R" mmmm ]: two or more digits, then optionally R and four digits.
static bool model_is_shutdown(const unsigned char* b, size_t n) {
  if (n < 3 || b[0] != 'S') return false;
  size_t r = 1;
  while (r < n && b[r] != 'R') r++;
  if (r - 1 < 2 || !model_digits(b + 1, r - 1)) return false;
  if (r == n) return true;
  return n - r - 1 == 4 && model_digits(b + r + 1, 4);
}

// UPS commands reach the whole line, so every unit applies them.
static void model_command_locked(const unsigned char* b, size_t n, double now) {
  for (int i = 0; i < MODEL_UNITS_MAX; i++) {
    ModelUnit* u = &g_units[i];
    if (u->commands_ignored) continue;
    if (model_equals(b, n, "T")) {
      u->bits |= MODEL_BIT_TEST;
      u->test_timed = true;
      u->test_ends = now + k_test_seconds;
    } else if (model_equals(b, n, "TL")) {
      u->bits |= MODEL_BIT_TEST;
      u->test_timed = false;
    } else if (model_equals(b, n, "CT")) {
      u->bits &= static_cast<uint8_t>(~MODEL_BIT_TEST);
      u->test_timed = false;
    } else if (model_equals(b, n, "C")) {
      u->bits &= static_cast<uint8_t>(~MODEL_BIT_SHUTDOWN);
    } else if (model_is_shutdown(b, n)) {
      u->bits |= MODEL_BIT_SHUTDOWN;
    }
  }
}

int model_request(const unsigned char* bytes, size_t len, double now, ModelReply* out) {
  if (!out) return 0;
  out->len = 0;
  out->unit = 0;
  out->gap_us = 0;
  out->delay_ms = 0;
  if (!bytes || len < 2 || len > static_cast<size_t>(MODEL_LINE_MAX) || bytes[len - 1] != '\r')
    return 0;
  std::lock_guard<std::mutex> hold(g_lock);
  model_tick_locked(now);
  const unsigned char* body = bytes;
  size_t n = len - 1;

  enum { STATUS, IDENTITY, RATING } kind;
  size_t head;
  if (n >= 2 && body[0] == 'Q' && body[1] == '1') {
    kind = STATUS;
    head = 2;
  } else if (body[0] == 'I') {
    kind = IDENTITY;
    head = 1;
  } else if (body[0] == 'F') {
    kind = RATING;
    head = 1;
  } else {
    model_command_locked(body, n, now);
    return 0;
  }
  int number;
  if (n == head)
    number = 1;
  else if (n == head + 1 && body[head] >= 1 && body[head] <= MODEL_UNITS_MAX)
    number = body[head];
  else
    return 0;
  if (number > g_count) return 0;

  int i = number - 1;
  ModelUnit* u = &g_units[i];
  int made = 0;
  if (!u->silent) {
    int length = u->length;
    if (kind == STATUS) {
      ModelUnit shown = *u;
      double* noisy = model_real_field(&shown, u->noise_field);
      if (noisy) {
        *noisy += u->noise_up ? u->noise_amount : -u->noise_amount;
        u->noise_up = !u->noise_up;
      }
      made = model_format_status(&shown, out->bytes);
    } else if (kind == IDENTITY) {
      made = model_format_identity(u, out->bytes);
      if (u->identity_length > 0) length = u->identity_length;
    } else {
      made = model_format_rating(u, out->bytes);
      if (u->rating_length > 0) length = u->rating_length;
    }
    made = model_disturb_locked(u, out->bytes, made, length, kind == STATUS);
  }
  if (kind == STATUS && g_revert_left[i] > 0 && --g_revert_left[i] == 0) g_units[i] = g_saved[i];
  if (made <= 0) return 0;
  out->len = made;
  out->unit = number;
  out->gap_us = g_gap_us;
  out->delay_ms = g_delay_ms;
  return made;
}

void model_tick(double now) {
  std::lock_guard<std::mutex> hold(g_lock);
  model_tick_locked(now);
}

// ---- control commands ----------------------------------------------------

struct model_token {
  const char* text;  // start inside the line buffer
  int len;           // characters
};

enum {
  MODEL_ACT_BIT,
  MODEL_ACT_MAINS_FAIL,
  MODEL_ACT_MAINS_RESTORE,
  MODEL_ACT_MAINS_FLAP,
  MODEL_ACT_COMMANDS,
  MODEL_ACT_SET_REAL,
  MODEL_ACT_SET_WHOLE,
  MODEL_ACT_SET_TEXT,
  MODEL_ACT_SET_STATUS,
  MODEL_ACT_SILENT,
  MODEL_ACT_GARBAGE,
  MODEL_ACT_LENGTH,
  MODEL_ACT_IDENTITY_LENGTH,
  MODEL_ACT_RATING_LENGTH,
  MODEL_ACT_NOISE,
  MODEL_ACT_SLOW,  // line-wide from here on
  MODEL_ACT_DELAY,
  MODEL_ACT_RESET,
};

// One parsed control command, applied only once the whole line made sense.
struct model_action {
  int kind;        // MODEL_ACT_*
  uint8_t bit;     // MODEL_ACT_BIT: the bit
  bool on;         // MODEL_ACT_BIT / MODEL_ACT_SILENT / MODEL_ACT_COMMANDS: set or clear
  int field;       // MODEL_ACT_SET_*: MODEL_SET_*
  double real;     // MODEL_ACT_SET_REAL / MODEL_ACT_SET_WHOLE: the value; MAINS_FLAP: period, 0 off
  long whole;      // MODEL_ACT_LENGTH/SLOW/DELAY/GARBAGE: the value (0 = off)
  char text[MODEL_COMPANY_WIDTH + 1];  // MODEL_ACT_SET_TEXT: value cut to width
  uint8_t status;  // MODEL_ACT_SET_STATUS: the eight bits
};

struct model_bit_word {
  const char* name;
  const char* on;
  const char* off;
  uint8_t bit;
};

static const model_bit_word k_bit_words[] = {
    {"battery", "low", "normal", MODEL_BIT_BATTERY_LOW},
    {"bypass", "on", "off", MODEL_BIT_BYPASS},
    {"fault", "on", "off", MODEL_BIT_FAILED},
    {"type", "offline", "online", MODEL_BIT_OFFLINE},
    {"test", "on", "off", MODEL_BIT_TEST},
    {"shutdown", "on", "off", MODEL_BIT_SHUTDOWN},
    {"beeper", "on", "off", MODEL_BIT_BEEPER},
};

enum { MODEL_FIELD_REAL, MODEL_FIELD_WHOLE, MODEL_FIELD_TEXT, MODEL_FIELD_STATUS };

// Fields `set` knows, by the name used on the control line.
enum {
  MODEL_SET_INPUT_VOLTAGE,
  MODEL_SET_FAULT_VOLTAGE,
  MODEL_SET_OUTPUT_VOLTAGE,
  MODEL_SET_LOAD,
  MODEL_SET_FREQUENCY,
  MODEL_SET_BATTERY_VOLTAGE,
  MODEL_SET_TEMPERATURE,
  MODEL_SET_RATED_VOLTAGE,
  MODEL_SET_RATED_CURRENT,
  MODEL_SET_RATED_BATTERY_VOLTAGE,
  MODEL_SET_RATED_FREQUENCY,
  MODEL_SET_COMPANY,
  MODEL_SET_MODEL,
  MODEL_SET_VERSION,
  MODEL_SET_STATUS,
};

struct model_field {
  const char* name;
  int id;     // MODEL_SET_*
  int kind;   // MODEL_FIELD_*
  int width;  // text fields: characters kept
};

static const model_field k_fields[] = {
    {"input_voltage", MODEL_SET_INPUT_VOLTAGE, MODEL_FIELD_REAL, 0},
    {"fault_voltage", MODEL_SET_FAULT_VOLTAGE, MODEL_FIELD_REAL, 0},
    {"output_voltage", MODEL_SET_OUTPUT_VOLTAGE, MODEL_FIELD_REAL, 0},
    {"load", MODEL_SET_LOAD, MODEL_FIELD_WHOLE, 0},
    {"frequency", MODEL_SET_FREQUENCY, MODEL_FIELD_REAL, 0},
    {"battery_voltage", MODEL_SET_BATTERY_VOLTAGE, MODEL_FIELD_REAL, 0},
    {"temperature", MODEL_SET_TEMPERATURE, MODEL_FIELD_REAL, 0},
    {"rated_voltage", MODEL_SET_RATED_VOLTAGE, MODEL_FIELD_REAL, 0},
    {"rated_current", MODEL_SET_RATED_CURRENT, MODEL_FIELD_WHOLE, 0},
    {"rated_battery_voltage", MODEL_SET_RATED_BATTERY_VOLTAGE, MODEL_FIELD_REAL, 0},
    {"rated_frequency", MODEL_SET_RATED_FREQUENCY, MODEL_FIELD_REAL, 0},
    {"company", MODEL_SET_COMPANY, MODEL_FIELD_TEXT, MODEL_COMPANY_WIDTH},
    {"model", MODEL_SET_MODEL, MODEL_FIELD_TEXT, MODEL_MODEL_WIDTH},
    {"version", MODEL_SET_VERSION, MODEL_FIELD_TEXT, MODEL_VERSION_WIDTH},
    {"status", MODEL_SET_STATUS, MODEL_FIELD_STATUS, 0},
};

static double* model_real_field(ModelUnit* u, int id) {
  switch (id) {
    case MODEL_SET_INPUT_VOLTAGE: return &u->input_voltage;
    case MODEL_SET_FAULT_VOLTAGE: return &u->fault_voltage;
    case MODEL_SET_OUTPUT_VOLTAGE: return &u->output_voltage;
    case MODEL_SET_FREQUENCY: return &u->frequency;
    case MODEL_SET_BATTERY_VOLTAGE: return &u->battery_voltage;
    case MODEL_SET_TEMPERATURE: return &u->temperature;
    case MODEL_SET_RATED_VOLTAGE: return &u->rated_voltage;
    case MODEL_SET_RATED_BATTERY_VOLTAGE: return &u->rated_battery_voltage;
    case MODEL_SET_RATED_FREQUENCY: return &u->rated_frequency;
    default: return nullptr;
  }
}

// Text fields with their width; nullptr for any other field.
static char* model_text_field(ModelUnit* u, int id, int* width) {
  switch (id) {
    case MODEL_SET_COMPANY: *width = MODEL_COMPANY_WIDTH; return u->company;
    case MODEL_SET_MODEL: *width = MODEL_MODEL_WIDTH; return u->model;
    case MODEL_SET_VERSION: *width = MODEL_VERSION_WIDTH; return u->version;
    default: return nullptr;
  }
}

static bool model_is(const model_token& t, const char* word) {
  return static_cast<size_t>(t.len) == strlen(word) && memcmp(t.text, word, t.len) == 0;
}

// Strict whole-token integer in [lo, hi].
static bool model_token_long(const model_token& t, long lo, long hi, long* out) {
  char text[32];
  if (t.len <= 0 || t.len >= static_cast<int>(sizeof text)) return false;
  memcpy(text, t.text, t.len);
  text[t.len] = '\0';
  if (text[0] < '0' || text[0] > '9') return false;  // no sign, no blank
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Strict whole-token finite real number.
static bool model_token_real(const model_token& t, double* out) {
  char text[64];
  if (t.len <= 0 || t.len >= static_cast<int>(sizeof text)) return false;
  memcpy(text, t.text, t.len);
  text[t.len] = '\0';
  char* end = nullptr;
  double v = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

// Parses "on"/"off"-style switches; returns false for any other word.
static bool model_token_switch(const model_token& t, const char* on, const char* off, bool* out) {
  if (model_is(t, on)) {
    *out = true;
    return true;
  }
  if (model_is(t, off)) {
    *out = false;
    return true;
  }
  return false;
}

// Parses the command words tok[0..n) (unit prefix and `for N` already taken
// off) into *a. Returns false when the words are not a command.
static bool model_parse_action(const model_token* tok, int n, model_action* a) {
  *a = model_action{};
  if (n < 1) return false;
  const model_token& w = tok[0];
  if (model_is(w, "reset")) {
    a->kind = MODEL_ACT_RESET;
    return n == 1;
  }
  if (n < 2) return false;
  if (model_is(w, "mains") && model_is(tok[1], "flap")) {
    a->kind = MODEL_ACT_MAINS_FLAP;
    if (n != 3) return false;
    if (model_is(tok[2], "off")) return true;
    return model_token_real(tok[2], &a->real) && a->real >= k_flap_min && a->real <= k_flap_max;
  }
  if (model_is(w, "commands")) {
    a->kind = MODEL_ACT_COMMANDS;
    return n == 2 && model_token_switch(tok[1], "ignore", "take", &a->on);
  }
  if (model_is(w, "mains")) {
    if (n != 2) return false;
    if (model_is(tok[1], "fail")) a->kind = MODEL_ACT_MAINS_FAIL;
    else if (model_is(tok[1], "restore")) a->kind = MODEL_ACT_MAINS_RESTORE;
    else return false;
    return true;
  }
  for (const model_bit_word& b : k_bit_words) {
    if (!model_is(w, b.name)) continue;
    a->kind = MODEL_ACT_BIT;
    a->bit = b.bit;
    return n == 2 && model_token_switch(tok[1], b.on, b.off, &a->on);
  }
  if (model_is(w, "silent")) {
    a->kind = MODEL_ACT_SILENT;
    return n == 2 && model_token_switch(tok[1], "on", "off", &a->on);
  }
  if (model_is(w, "garbage")) {
    a->kind = MODEL_ACT_GARBAGE;
    if (n != 2) return false;
    if (model_is(tok[1], "on")) a->whole = MODEL_GARBAGE_ON;
    else if (model_is(tok[1], "off")) a->whole = MODEL_GARBAGE_OFF;
    else if (model_is(tok[1], "once")) a->whole = MODEL_GARBAGE_ONCE;
    else if (model_is(tok[1], "bits")) a->whole = MODEL_GARBAGE_BITS;
    else return false;
    return true;
  }
  if (model_is(w, "identity") || model_is(w, "rating")) {
    a->kind = model_is(w, "identity") ? MODEL_ACT_IDENTITY_LENGTH : MODEL_ACT_RATING_LENGTH;
    if (n != 3 || !model_is(tok[1], "length")) return false;
    if (model_is(tok[2], "off")) return true;
    return model_token_long(tok[2], 1, MODEL_REPLY_MAX, &a->whole);
  }
  if (model_is(w, "noise")) {
    a->kind = MODEL_ACT_NOISE;
    a->field = -1;
    if (n == 2) return model_is(tok[1], "off");
    if (n != 3) return false;
    for (const model_field& each : k_fields)
      if (each.kind == MODEL_FIELD_REAL && model_is(tok[1], each.name)) a->field = each.id;
    return a->field >= 0 && model_token_real(tok[2], &a->real);
  }
  if (model_is(w, "length") || model_is(w, "slow") || model_is(w, "delay")) {
    if (n != 2) return false;
    long hi = MODEL_REPLY_MAX;
    a->kind = MODEL_ACT_LENGTH;
    if (model_is(w, "slow")) {
      a->kind = MODEL_ACT_SLOW;
      hi = 4000000;
    } else if (model_is(w, "delay")) {
      a->kind = MODEL_ACT_DELAY;
      hi = 60000;
    }
    if (model_is(tok[1], "off")) return true;
    // A delay of 0 is meaningful; a length or baud rate of 0 is not.
    return model_token_long(tok[1], a->kind == MODEL_ACT_DELAY ? 0 : 1, hi, &a->whole);
  }
  if (model_is(w, "set")) {
    if (n < 3) return false;
    const model_field* f = nullptr;
    for (const model_field& each : k_fields)
      if (model_is(tok[1], each.name)) f = &each;
    if (!f) return false;
    a->field = f->id;
    if (f->kind == MODEL_FIELD_TEXT) {
      // The value is the rest of the line, inner blanks included.
      a->kind = MODEL_ACT_SET_TEXT;
      const char* from = tok[2].text;
      const char* to = tok[n - 1].text + tok[n - 1].len;
      char text[MODEL_LINE_MAX];
      size_t len = 0;
      for (const char* p = from; p < to; p++) {
        if (*p < 0x20 || *p > 0x7E) return false;
        int byte = *p;
        // \xHH: any other byte, for the hostile identities of the tests.
        if (p[0] == '\\' && to - p >= 4 && p[1] == 'x' && isxdigit(static_cast<unsigned char>(p[2])) &&
            isxdigit(static_cast<unsigned char>(p[3]))) {
          char hex[3] = {p[2], p[3], '\0'};
          byte = static_cast<int>(strtol(hex, nullptr, 16));
          if (byte == 0) return false;
          p += 3;
        }
        text[len++] = static_cast<char>(byte);
      }
      model_text_set(a->text, f->width, text, len);
      return true;
    }
    if (n != 3) return false;
    if (f->kind == MODEL_FIELD_STATUS) {
      a->kind = MODEL_ACT_SET_STATUS;
      if (tok[2].len != 8) return false;
      for (int i = 0; i < 8; i++) {
        char c = tok[2].text[i];
        if (c != '0' && c != '1') return false;
        if (c == '1') a->status |= static_cast<uint8_t>(0x80 >> i);
      }
      return true;
    }
    a->kind = f->kind == MODEL_FIELD_WHOLE ? MODEL_ACT_SET_WHOLE : MODEL_ACT_SET_REAL;
    return model_token_real(tok[2], &a->real);
  }
  return false;
}

static void model_apply_unit(ModelUnit* u, const model_action* a, double now) {
  switch (a->kind) {
    case MODEL_ACT_BIT:
      if (a->on)
        u->bits |= a->bit;
      else
        u->bits &= static_cast<uint8_t>(~a->bit);
      // A test switched by hand has no 10-second end.
      if (a->bit == MODEL_BIT_TEST) u->test_timed = false;
      break;
    case MODEL_ACT_MAINS_FAIL:
    case MODEL_ACT_MAINS_RESTORE:
      u->flap_period = 0.0;
      model_mains_locked(u, a->kind == MODEL_ACT_MAINS_FAIL);
      break;
    case MODEL_ACT_MAINS_FLAP:
      // `off` leaves the mains where the flapping has it at `now`.
      if (u->flap_period > 0.0) model_mains_locked(u, model_flap_failed(u, now));
      u->flap_period = a->real;
      u->flap_start = now;
      if (a->real > 0.0) model_mains_locked(u, true);
      break;
    case MODEL_ACT_COMMANDS:
      u->commands_ignored = a->on;
      break;
    case MODEL_ACT_SET_REAL: {
      double* p = model_real_field(u, a->field);
      if (p) *p = a->real;
      break;
    }
    case MODEL_ACT_SET_WHOLE: {
      int v = static_cast<int>(std::lround(model_clamp(a->real, -1e6, 1e6)));
      if (a->field == MODEL_SET_LOAD)
        u->load = v;
      else
        u->rated_current = v;
      break;
    }
    case MODEL_ACT_SET_TEXT: {
      int width = 0;
      char* p = model_text_field(u, a->field, &width);
      if (p) model_text_set(p, width, a->text, strlen(a->text));
      break;
    }
    case MODEL_ACT_SET_STATUS:
      u->bits = a->status;
      if (!(u->bits & MODEL_BIT_TEST)) u->test_timed = false;
      break;
    case MODEL_ACT_SILENT:
      u->silent = a->on;
      break;
    case MODEL_ACT_GARBAGE:
      u->garbage = static_cast<int>(a->whole);
      break;
    case MODEL_ACT_LENGTH:
      u->length = static_cast<int>(a->whole);
      break;
    case MODEL_ACT_IDENTITY_LENGTH:
      u->identity_length = static_cast<int>(a->whole);
      break;
    case MODEL_ACT_RATING_LENGTH:
      u->rating_length = static_cast<int>(a->whole);
      break;
    case MODEL_ACT_NOISE:
      u->noise_field = a->field;
      u->noise_amount = a->real;
      u->noise_up = true;
      break;
    default:
      break;
  }
}

bool model_control(const char* line) { return model_control_at(line, model_clock()); }

bool model_control_at(const char* line, double now) {
  if (!line) return false;
  size_t len = strnlen(line, MODEL_LINE_MAX + 1);
  if (len > static_cast<size_t>(MODEL_LINE_MAX)) return false;
  char text[MODEL_LINE_MAX + 1];
  memcpy(text, line, len);
  text[len] = '\0';

  model_token tok[32];
  int n = 0;
  for (size_t i = 0; i < len;) {
    if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r') {
      i++;
      continue;
    }
    if (n == static_cast<int>(sizeof tok / sizeof tok[0])) return false;
    size_t start = i;
    while (i < len && text[i] != ' ' && text[i] != '\t' && text[i] != '\r') i++;
    tok[n].text = text + start;
    tok[n].len = static_cast<int>(i - start);
    n++;
  }

  std::lock_guard<std::mutex> hold(g_lock);
  int first = 0;
  int unit_lo = 0, unit_hi = 0;  // selected units, 0-based, inclusive
  if (n >= 1 && model_is(tok[0], "unit")) {
    if (n < 2) return false;
    long number;
    if (model_is(tok[1], "all")) {
      unit_hi = g_count - 1;
    } else if (model_token_long(tok[1], 1, g_count, &number)) {
      unit_lo = unit_hi = static_cast<int>(number) - 1;
    } else {
      return false;
    }
    first = 2;
  }
  long revert = 0;
  if (n - first >= 2 && model_is(tok[n - 2], "for")) {
    if (!model_token_long(tok[n - 1], 1, k_for_max, &revert)) return false;
    n -= 2;
  }
  model_action a;
  if (!model_parse_action(tok + first, n - first, &a)) return false;

  if (a.kind >= MODEL_ACT_SLOW) {
    // Line-wide: the unit prefix does not narrow them, and they have no
    // unit state to restore.
    if (revert > 0) return false;
    if (a.kind == MODEL_ACT_SLOW) g_gap_us = a.whole > 0 ? 10000000L / a.whole : 0;
    if (a.kind == MODEL_ACT_DELAY) g_delay_ms = a.whole;
    if (a.kind == MODEL_ACT_RESET) model_reset_locked();
    return true;
  }
  for (int i = unit_lo; i <= unit_hi; i++) {
    if (revert > 0) {
      g_saved[i] = g_units[i];
      g_revert_left[i] = static_cast<int>(revert);
    }
    model_apply_unit(&g_units[i], &a, now);
  }
  return true;
}

// ---- set-up and queries --------------------------------------------------

bool model_setup(int units, int type, uint64_t seed) {
  if (units < 1 || units > MODEL_UNITS_MAX) return false;
  if (type != MODEL_ONLINE && type != MODEL_OFFLINE) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  g_count = units;
  g_type = type;
  g_seed = seed;
  model_reset_locked();
  return true;
}

bool model_snapshot(int unit, ModelUnit* out) {
  if (!out) return false;
  std::lock_guard<std::mutex> hold(g_lock);
  if (unit < 1 || unit > g_count) return false;
  *out = g_units[unit - 1];
  return true;
}

double model_clock() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// ---- log -----------------------------------------------------------------

int model_log_escape(const void* bytes, size_t len, char* out, size_t cap) {
  if (!out || cap == 0) return 0;
  const unsigned char* b = static_cast<const unsigned char*>(bytes);
  size_t w = 0;
  for (size_t i = 0; b && i < len; i++) {
    char piece[5];
    size_t n;
    unsigned char c = b[i];
    if (c == '\\') {
      piece[0] = '\\';
      piece[1] = '\\';
      n = 2;
    } else if (c == '\r') {
      piece[0] = '\\';
      piece[1] = 'r';
      n = 2;
    } else if (c == '\n') {
      piece[0] = '\\';
      piece[1] = 'n';
      n = 2;
    } else if (c >= 0x20 && c <= 0x7E) {
      piece[0] = static_cast<char>(c);
      n = 1;
    } else {
      static const char hex[] = "0123456789abcdef";
      piece[0] = '\\';
      piece[1] = 'x';
      piece[2] = hex[c >> 4];
      piece[3] = hex[c & 15];
      n = 4;
    }
    if (w + n + 1 > cap) break;
    memcpy(out + w, piece, n);
    w += n;
  }
  out[w] = '\0';
  return static_cast<int>(w);
}

bool model_log_open(const char* path) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_log_fd >= 0) close(g_log_fd);
  g_log_fd = -1;
  if (!path) return false;
  g_log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return g_log_fd >= 0;
}

void model_log_close() {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_log_fd >= 0) close(g_log_fd);
  g_log_fd = -1;
}

void model_log(const char* tag, const void* bytes, size_t len) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (len > 1024) len = 1024;
  char line[64 + 4 * 1024 + 2];
  int head = snprintf(line, sizeof line, "%lld.%06ld %.8s ", static_cast<long long>(ts.tv_sec),
                      static_cast<long>(ts.tv_nsec / 1000), tag ? tag : "?");
  if (head < 0) return;
  size_t n = static_cast<size_t>(head);
  n += static_cast<size_t>(model_log_escape(bytes, len, line + n, sizeof line - n - 1));
  line[n++] = '\n';

  std::lock_guard<std::mutex> hold(g_lock);
  if (g_log_fd < 0) return;
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(g_log_fd, line + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;  // disk full or similar: the log is best effort
    done += static_cast<size_t>(w);
  }
}
