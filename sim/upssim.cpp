// upssim: simulated UPS units on a pseudo-terminal (or a given terminal).
//
// Prints the line's path as the first line of stdout, then answers requests
// on the line from the model, takes control commands from a FIFO and logs
// everything, until SIGINT or SIGTERM.
//
// With --pass-persist it is instead unit 1 behind an SNMP card: snmpd's
// pass_persist program for the UPS-MIB subtree (card.h), speaking that
// protocol on stdin and stdout, until stdin ends or a signal comes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "card.h"
#include "model.h"

// Command line.
struct UpssimOptions {
  const char* device;   // existing terminal to use; nullptr: make a pseudo-terminal
  const char* control;  // FIFO for control commands; nullptr: none
  const char* log;      // log file; nullptr: no log
  int units;            // 1..4
  int type;             // MODEL_ONLINE or MODEL_OFFLINE
  uint64_t seed;        // garbage generator seed
  bool pass_persist;    // be snmpd's pass_persist program instead of a serial line
};

// One reply waiting for or in the middle of going out.
struct UpssimOut {
  unsigned char bytes[MODEL_REPLY_MAX];  // the reply
  int len;                               // bytes in the reply
  int pos;                               // bytes already written
  long gap_us;                           // time per byte; 0: write at once
  double start;                          // monotonic seconds the first byte may go
  bool logged;                           // the tx log line is written
};

static constexpr int k_queue_max = 8;            // replies queued before new ones are dropped
static constexpr double k_poll_max = 0.05;       // longest sleep in the poll loop, seconds
static constexpr double k_line_rest = 0.2;       // pause after a hang-up on the line, seconds

static volatile sig_atomic_t g_stop = 0;
static UpssimOut g_queue[k_queue_max];
static int g_queue_head = 0;   // index of the oldest reply
static int g_queue_count = 0;  // replies queued
static unsigned char g_rx[MODEL_LINE_MAX];  // request bytes not yet ended by CR
static int g_rx_len = 0;
static char g_ctl[MODEL_LINE_MAX + 1];      // control line being read
static int g_ctl_len = 0;
static bool g_ctl_overflow = false;         // the current control line is too long
static bool g_card = false;                 // pass_persist mode: `card ...` words too

static void upssim_on_signal(int) { g_stop = 1; }

static void upssim_usage(FILE* to) {
  fprintf(to,
          "usage: upssim [--device PATH] [--control PATH] [--log PATH] [--units N]"
          " [--type online|offline] [--seed N]\n"
          "       upssim --pass-persist [--control PATH] [--log PATH]"
          " [--type online|offline] [--seed N]\n");
}

// Returns 0 to run, 1 when usage was asked for, 2 on a bad option (one line
// on stderr then).
static int upssim_parse(int argc, char** argv, UpssimOptions* o) {
  *o = UpssimOptions{nullptr, nullptr, nullptr, 1, MODEL_ONLINE, 1, false};
  bool units_given = false;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) return 1;
    if (strcmp(arg, "--pass-persist") == 0) {
      o->pass_persist = true;
      continue;
    }
    static const char* const names[] = {"--device", "--control", "--log",
                                        "--units",  "--type",    "--seed"};
    const char* name = nullptr;
    const char* value = nullptr;
    for (const char* n : names) {
      size_t len = strlen(n);
      if (strcmp(arg, n) == 0) {
        name = n;
        if (i + 1 >= argc) {
          fprintf(stderr, "upssim: %s needs a value\n", n);
          return 2;
        }
        value = argv[++i];
      } else if (strncmp(arg, n, len) == 0 && arg[len] == '=') {
        name = n;
        value = arg + len + 1;
      }
    }
    if (!name) {
      fprintf(stderr, "upssim: unknown option %s (try --help)\n", arg);
      return 2;
    }
    char* end = nullptr;
    if (strcmp(name, "--device") == 0) {
      o->device = value;
    } else if (strcmp(name, "--control") == 0) {
      o->control = value;
    } else if (strcmp(name, "--log") == 0) {
      o->log = value;
    } else if (strcmp(name, "--units") == 0) {
      long v = strtol(value, &end, 10);
      if (end == value || *end != '\0' || v < 1 || v > MODEL_UNITS_MAX) {
        fprintf(stderr, "upssim: --units must be 1..%d, not %s\n", MODEL_UNITS_MAX, value);
        return 2;
      }
      o->units = static_cast<int>(v);
      units_given = true;
    } else if (strcmp(name, "--type") == 0) {
      if (strcmp(value, "online") == 0) {
        o->type = MODEL_ONLINE;
      } else if (strcmp(value, "offline") == 0) {
        o->type = MODEL_OFFLINE;
      } else {
        fprintf(stderr, "upssim: --type must be online or offline, not %s\n", value);
        return 2;
      }
    } else if (strcmp(name, "--seed") == 0) {
      errno = 0;
      unsigned long long v = strtoull(value, &end, 10);
      if (end == value || *end != '\0' || errno != 0 || value[0] == '-') {
        fprintf(stderr, "upssim: --seed must be a number, not %s\n", value);
        return 2;
      }
      o->seed = v;
    }
    if (value[0] == '\0') {
      fprintf(stderr, "upssim: %s needs a value\n", name);
      return 2;
    }
  }
  if (o->pass_persist && (o->device || units_given)) {
    fprintf(stderr, "upssim: --pass-persist is one unit on stdin and stdout; no --device or --units\n");
    return 2;
  }
  return 0;
}

static bool upssim_make_raw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Opens the line. For a pseudo-terminal `*keep` gets a descriptor of the
// slave side held for our whole life, so the master never sees a hang-up
// when the daemon closes the slave. Writes the path into `path`.
// Returns the line descriptor (non-blocking), or -1 with a message on stderr.
static int upssim_open_line(const char* device, int* keep, char* path, size_t cap) {
  *keep = -1;
  if (device) {
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      fprintf(stderr, "upssim: cannot open %s: %s\n", device, strerror(errno));
      return -1;
    }
    if (!upssim_make_raw(fd)) {
      fprintf(stderr, "upssim: %s is not a usable terminal: %s\n", device, strerror(errno));
      close(fd);
      return -1;
    }
    snprintf(path, cap, "%s", device);
    return fd;
  }
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    fprintf(stderr, "upssim: cannot make a pseudo-terminal: %s\n", strerror(errno));
    return -1;
  }
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, cap) != 0) {
    fprintf(stderr, "upssim: cannot set up the pseudo-terminal: %s\n", strerror(errno));
    close(master);
    return -1;
  }
  int slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    fprintf(stderr, "upssim: cannot open %s: %s\n", path, strerror(errno));
    close(master);
    return -1;
  }
  if (!upssim_make_raw(master)) {
    fprintf(stderr, "upssim: cannot make %s raw: %s\n", path, strerror(errno));
    close(slave);
    close(master);
    return -1;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  *keep = slave;
  return master;
}

// Creates the FIFO when missing (sets *created) and opens it read-write, so
// it never reports end-of-file. Returns the descriptor or -1 with a message.
static int upssim_open_control(const char* path, bool* created) {
  *created = false;
  struct stat st{};
  if (stat(path, &st) == 0) {
    if (!S_ISFIFO(st.st_mode)) {
      fprintf(stderr, "upssim: %s exists and is not a FIFO\n", path);
      return -1;
    }
  } else {
    if (mkfifo(path, 0600) != 0) {
      fprintf(stderr, "upssim: cannot make FIFO %s: %s\n", path, strerror(errno));
      return -1;
    }
    chmod(path, 0600);  // whatever the umask
    *created = true;
  }
  int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "upssim: cannot open FIFO %s: %s\n", path, strerror(errno));
    if (*created) unlink(path);
    *created = false;
  }
  return fd;
}

// Logs a control line with `tag` and, for errors, says so on stderr.
static void upssim_report(const char* tag, const char* text, size_t len) {
  model_log(tag, text, len);
  if (strcmp(tag, "err") == 0) {
    char shown[4 * MODEL_LINE_MAX + 1];
    model_log_escape(text, len, shown, sizeof shown);
    fprintf(stderr, "upssim: control command not understood: %s\n", shown);
  }
}

static void upssim_control_line() {
  size_t len = static_cast<size_t>(g_ctl_len);
  if (g_ctl_overflow) {
    upssim_report("err", g_ctl, len);
    return;
  }
  if (len > 0 && g_ctl[len - 1] == '\r') len--;
  size_t blanks = 0;
  while (blanks < len && (g_ctl[blanks] == ' ' || g_ctl[blanks] == '\t')) blanks++;
  if (blanks == len) return;  // blank line
  // Logged exactly as written, so a test can find its own command again.
  g_ctl[len] = '\0';
  if (memchr(g_ctl, '\0', len) == nullptr && ((g_card && card_control(g_ctl)) || model_control(g_ctl)))
    upssim_report("ctl", g_ctl, len);
  else
    upssim_report("err", g_ctl, len);
}

static void upssim_read_control(int fd) {
  char chunk[512];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    for (ssize_t i = 0; i < got; i++) {
      char c = chunk[i];
      if (c == '\n') {
        upssim_control_line();
        g_ctl_len = 0;
        g_ctl_overflow = false;
      } else if (g_ctl_len < MODEL_LINE_MAX) {
        g_ctl[g_ctl_len++] = c;
      } else {
        g_ctl_overflow = true;
      }
    }
  }
}

static double upssim_queue_end(const UpssimOut* o) {
  return o->start + static_cast<double>(o->len) * static_cast<double>(o->gap_us) / 1e6;
}

// Answers one framed request and queues the reply behind those before it.
static void upssim_request(const unsigned char* bytes, int len, double now) {
  model_log("rx", bytes, static_cast<size_t>(len));
  ModelReply reply;
  if (model_request(bytes, static_cast<size_t>(len), now, &reply) <= 0) return;
  if (g_queue_count == k_queue_max) {
    fprintf(stderr, "upssim: nobody reads the line; reply dropped\n");
    return;
  }
  double start = now + static_cast<double>(reply.delay_ms) / 1000.0;
  if (g_queue_count > 0) {
    const UpssimOut* last = &g_queue[(g_queue_head + g_queue_count - 1) % k_queue_max];
    double end = upssim_queue_end(last);
    if (end > start) start = end;
  }
  UpssimOut* o = &g_queue[(g_queue_head + g_queue_count) % k_queue_max];
  memcpy(o->bytes, reply.bytes, static_cast<size_t>(reply.len));
  o->len = reply.len;
  o->pos = 0;
  o->gap_us = reply.gap_us;
  o->start = start;
  o->logged = false;
  g_queue_count++;
}

// Reads what the line has. Returns false after a hang-up or error, so the
// caller rests the line a moment instead of spinning on it.
static bool upssim_read_line(int fd, double now) {
  unsigned char chunk[512];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got <= 0) return false;
    for (ssize_t i = 0; i < got; i++) {
      g_rx[g_rx_len++] = chunk[i];
      if (chunk[i] == '\r') {
        upssim_request(g_rx, g_rx_len, now);
        g_rx_len = 0;
      } else if (g_rx_len == MODEL_LINE_MAX) {
        model_log("rx", g_rx, static_cast<size_t>(g_rx_len));  // too long: log and drop
        g_rx_len = 0;
      }
    }
  }
}

// Writes the bytes that are due. Returns true when the line would block, so
// the caller waits for it to take more.
static bool upssim_write_due(int fd, double now) {
  while (g_queue_count > 0) {
    UpssimOut* o = &g_queue[g_queue_head];
    if (now < o->start) return false;
    int due = o->len;
    if (o->gap_us > 0) {
      double elapsed_us = (now - o->start) * 1e6;
      due = static_cast<int>(std::floor(elapsed_us / static_cast<double>(o->gap_us)));
      if (due > o->len) due = o->len;
      if (due <= o->pos) return false;
      due = o->pos + 1;  // one byte per write keeps the pacing on the wire
    }
    if (!o->logged) {
      model_log("tx", o->bytes, static_cast<size_t>(o->len));
      o->logged = true;
    }
    ssize_t w = write(fd, o->bytes + o->pos, static_cast<size_t>(due - o->pos));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (w < 0) {
      fprintf(stderr, "upssim: write to line failed: %s; reply dropped\n", strerror(errno));
      o->pos = o->len;
    } else {
      o->pos += static_cast<int>(w);
    }
    if (o->pos >= o->len) {
      g_queue_head = (g_queue_head + 1) % k_queue_max;
      g_queue_count--;
    }
  }
  return false;
}

// Seconds until the next reply byte is due (k_poll_max when none sooner).
static double upssim_next_due(double now) {
  if (g_queue_count == 0) return k_poll_max;
  const UpssimOut* o = &g_queue[g_queue_head];
  double at = o->start;
  if (o->gap_us > 0) at += static_cast<double>(o->pos + 1) * static_cast<double>(o->gap_us) / 1e6;
  double wait = at - now;
  if (wait < 0) wait = 0;
  return wait < k_poll_max ? wait : k_poll_max;
}

// Blocks the ending signals outside ppoll; *during_poll is the mask that
// lets them in while it waits.
static void upssim_block_signals(sigset_t* during_poll) {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  sigprocmask(SIG_BLOCK, &blocked, during_poll);
  sigdelset(during_poll, SIGINT);
  sigdelset(during_poll, SIGTERM);
  sigdelset(during_poll, SIGHUP);
}

static int upssim_run(int line, int control) {
  sigset_t during_poll;
  upssim_block_signals(&during_poll);

  double line_rest_until = 0;
  bool blocked_on_write = false;
  while (!g_stop) {
    double now = model_clock();
    model_tick(now);
    blocked_on_write = upssim_write_due(line, now);
    double wait = blocked_on_write ? k_poll_max : upssim_next_due(now);

    pollfd fds[2];
    int n = 0;
    int line_at = -1, control_at = -1;
    if (now >= line_rest_until) {
      line_at = n;
      fds[n++] = pollfd{line, static_cast<short>(POLLIN | (blocked_on_write ? POLLOUT : 0)), 0};
    } else if (line_rest_until - now < wait) {
      wait = line_rest_until - now;
    }
    if (control >= 0) {
      control_at = n;
      fds[n++] = pollfd{control, POLLIN, 0};
    }
    timespec ts;
    ts.tv_sec = static_cast<time_t>(wait);
    ts.tv_nsec = static_cast<long>((wait - static_cast<double>(ts.tv_sec)) * 1e9);
    int rc = ppoll(fds, static_cast<nfds_t>(n), &ts, &during_poll);
    if (rc < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "upssim: poll failed: %s\n", strerror(errno));
      return 1;
    }
    now = model_clock();
    if (line_at >= 0 && (fds[line_at].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (!upssim_read_line(line, now)) line_rest_until = now + k_line_rest;
    }
    if (control_at >= 0 && (fds[control_at].revents & POLLIN)) upssim_read_control(control);
  }
  return 0;
}

// ---- pass_persist ------------------------------------------------------------

// Where snmpd's conversation is: the word of the request being read and the
// lines it still needs.
enum { UPSSIM_PP_IDLE, UPSSIM_PP_GET, UPSSIM_PP_GETNEXT, UPSSIM_PP_SET_OID, UPSSIM_PP_SET_VALUE };

static int g_pp_state = UPSSIM_PP_IDLE;
static char g_pp_line[CARD_OID_TEXT_MAX + 64];  // line being read from snmpd
static int g_pp_len = 0;
static bool g_pp_overflow = false;              // the current line is too long
static char g_pp_oid[sizeof g_pp_line];         // the OID of the SET being read

// Writes all of `text` to snmpd. Returns false when it is gone.
static bool upssim_pp_write(const char* text) {
  size_t len = strlen(text), done = 0;
  while (done < len) {
    ssize_t w = write(STDOUT_FILENO, text + done, len - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// Handles one line from snmpd (an over-long one arrives empty, so it is no
// OID and no value). Returns false when the answer cannot be written.
static bool upssim_pp_line(const char* line, double now) {
  int state = g_pp_state;
  g_pp_state = UPSSIM_PP_IDLE;
  switch (state) {
    case UPSSIM_PP_IDLE:
      // snmpd sends an empty line after each SET; other words are not ours.
      if (strcmp(line, "PING") == 0) return upssim_pp_write("PONG\n");
      if (strcmp(line, "get") == 0) g_pp_state = UPSSIM_PP_GET;
      else if (strcmp(line, "getnext") == 0) g_pp_state = UPSSIM_PP_GETNEXT;
      else if (strcmp(line, "set") == 0) g_pp_state = UPSSIM_PP_SET_OID;
      return true;
    case UPSSIM_PP_GET:
    case UPSSIM_PP_GETNEXT: {
      CardAnswer a;
      bool found = state == UPSSIM_PP_GET ? card_get(line, now, &a) : card_getnext(line, now, &a);
      if (!found) return upssim_pp_write("NONE\n");
      char text[sizeof a.oid + sizeof a.type + sizeof a.value + 4];
      snprintf(text, sizeof text, "%s\n%s\n%s\n", a.oid, a.type, a.value);
      return upssim_pp_write(text);
    }
    case UPSSIM_PP_SET_OID:
      snprintf(g_pp_oid, sizeof g_pp_oid, "%s", line);
      g_pp_state = UPSSIM_PP_SET_VALUE;
      return true;
    default: {
      CardSetResult r;
      card_set(g_pp_oid, line, now, &r);
      if (r.taken) model_log("snmpset", r.log, strlen(r.log));
      char text[32];
      snprintf(text, sizeof text, "%s\n", r.word);
      return upssim_pp_write(text);
    }
  }
}

// Reads what snmpd sent. Returns false at its end (or a failed answer).
static bool upssim_pp_read(double now) {
  char chunk[512];
  ssize_t got;
  do {
    got = read(STDIN_FILENO, chunk, sizeof chunk);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  for (ssize_t i = 0; i < got; i++) {
    char c = chunk[i];
    if (c == '\n') {
      g_pp_line[g_pp_overflow ? 0 : g_pp_len] = '\0';
      if (!upssim_pp_line(g_pp_line, now)) return false;
      g_pp_len = 0;
      g_pp_overflow = false;
    } else if (g_pp_len < static_cast<int>(sizeof g_pp_line) - 1) {
      g_pp_line[g_pp_len++] = c;
    } else {
      g_pp_overflow = true;
    }
  }
  return true;
}

static int upssim_pp_run(int control) {
  sigset_t during_poll;
  upssim_block_signals(&during_poll);

  card_setup(model_clock());
  while (!g_stop) {
    // Ticking between requests keeps the alarm times and test ends on time.
    card_tick(model_clock());
    pollfd fds[2];
    int n = 0;
    fds[n++] = pollfd{STDIN_FILENO, POLLIN, 0};
    if (control >= 0) fds[n++] = pollfd{control, POLLIN, 0};
    timespec ts{0, static_cast<long>(k_poll_max * 1e9)};
    int rc = ppoll(fds, static_cast<nfds_t>(n), &ts, &during_poll);
    if (rc < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "upssim: poll failed: %s\n", strerror(errno));
      return 1;
    }
    // Control first, so a command and a request that arrive together are
    // answered with the command applied.
    if (n > 1 && (fds[1].revents & POLLIN)) upssim_read_control(control);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (!upssim_pp_read(model_clock())) break;  // snmpd went away
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  UpssimOptions opt;
  int parsed = upssim_parse(argc, argv, &opt);
  if (parsed == 1) {
    upssim_usage(stdout);
    return 0;
  }
  if (parsed != 0) return 2;

  struct sigaction sa{};
  sa.sa_handler = upssim_on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  model_setup(opt.units, opt.type, opt.seed);
  if (opt.log && !model_log_open(opt.log)) {
    fprintf(stderr, "upssim: cannot open log %s: %s\n", opt.log, strerror(errno));
    return 1;
  }
  if (opt.pass_persist) {
    g_card = true;
    bool created = false;
    int control = opt.control ? upssim_open_control(opt.control, &created) : -1;
    int status = 1;
    if (!opt.control || control >= 0) status = upssim_pp_run(control);
    if (control >= 0) close(control);
    if (created) unlink(opt.control);
    model_log_close();
    return status;
  }

  char path[512];
  int keep = -1;
  int line = upssim_open_line(opt.device, &keep, path, sizeof path);
  if (line < 0) {
    model_log_close();
    return 1;
  }
  bool created = false;
  int control = -1;
  if (opt.control) {
    control = upssim_open_control(opt.control, &created);
    if (control < 0) {
      close(line);
      if (keep >= 0) close(keep);
      model_log_close();
      return 1;
    }
  }

  printf("%s\n", path);
  fflush(stdout);

  int status = upssim_run(line, control);

  if (control >= 0) close(control);
  if (created) unlink(opt.control);
  close(line);
  if (keep >= 0) close(keep);
  model_log_close();
  return status;
}
