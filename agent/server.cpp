#include "agent/server.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <unordered_map>
#include <vector>

#include "agent/access.h"
#include "agent/agent.h"
#include "agent/mgmt.h"
#include "agent/users.h"
#include "agent/network.h"
#include "agent/tls.h"
#include "protocol/ups_command.h"
#include "store/mail.h"
#include "store/paths.h"
#include "store/schedule.h"
#include "store/sms.h"
#include "store/textfile.h"

// 5 in the daemon and never changed: 2 would switch on the server trace.
static const int debug_level = 5;

static const int RECEIVE_BUFFER = 1024;
static const int LISTEN_BACKLOG = 64;
static const int SERVER_SOCKET_BUFFER = 16384;

static int listen_socket = -1; // port 2027
static std::vector<int> mgmt_sockets; // port 3493, the RFC 9271 protocol, one per address bound
static bool tls_offered = false;      // the certificate and key of Network.ang loaded
static MachineContext *units = nullptr;
static std::atomic<int> session_count{0};
static MachineRecordCache record_cache[4]; // the server's thread only

// ---- the command table ---------------------------------------------------

enum { RELOAD_MAIL, RELOAD_SMS, RELOAD_PLAN, RELOAD_SET, RELOAD_KINDS };

// Reload spacing, touched by the server's thread only.
static double reload_last[RELOAD_KINDS]; // when each kind last ran; 0 never
static bool reload_held[RELOAD_KINDS];   // one is waiting for its turn

// Refusal lines, at most one per peer per ACCESS_REPORT_SPACING.
static AccessReports reported;            // refused commands
static AccessReports wrong_reported;      // wrong commands
static AccessReports connection_reported; // refused connections

int server_sessions()
{
    return session_count.load();
}

static void reload(int kind)
{
    switch (kind) {
    case RELOAD_MAIL:
        mail_settings_read(program_dir() + "Set/Mail.ang");
        break;
    case RELOAD_SMS:
        sms_settings_read(program_dir() + "Set/SMS.ang");
        break;
    case RELOAD_PLAN: {
        schedule_load();
        time_t now = time(nullptr);
        struct tm t;
        localtime_r(&now, &t);
        schedule_select_today(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
        break;
    }
    case RELOAD_SET:
        access_load(program_dir() + ACCESS_FILE);
        users_load(program_dir() + USERS_FILE);
        agent_request_reload(); // the polling loop reloads between two passes
        break;
    }
}

// A reload within SERVER_RELOAD_SPACING of the previous one of its kind is
// carried out once, that long after the previous one, however many came in
// between: a save in the console always takes effect, a flood costs one
// reload per spacing.
static void reload_spaced(int kind, double now)
{
    if (reload_last[kind] == 0 || now - reload_last[kind] >= SERVER_RELOAD_SPACING) {
        reload_last[kind] = now;
        reload_held[kind] = false;
        reload(kind);
    } else {
        reload_held[kind] = true;
    }
}

void server_run_due_reloads(double now)
{
    for (int k = 0; k < RELOAD_KINDS; k++)
        if (reload_held[k] && now - reload_last[k] >= SERVER_RELOAD_SPACING)
            reload_spaced(k, now);
}

// The UPS command a read starts with: the bytes up to and including the
// first carriage return, when they are one command of the language; a rest
// after it is ignored, as it always was for C, CT, T and TL.
static bool ups_command_at(const unsigned char *data, int len, UpsCommand *command)
{
    const void *cr = len > 0 ? memchr(data, '\r', len) : nullptr;
    if (!cr)
        return false;
    int n = static_cast<int>(static_cast<const unsigned char *>(cr) - data) + 1;
    return ups_command_parse(reinterpret_cast<const char *>(data), n, command);
}

// The read's UPS command joins unit 1's queue (its ordinary lane).
static void queue_unit1(const unsigned char *data, int len)
{
    UpsCommand command;
    if (!ups_command_at(data, len, &command))
        return;
    std::string bytes = ups_command_format(command);
    machine_queue_command(&units[0], bytes.data(), static_cast<int>(bytes.size()));
}

static bool starts_with(const unsigned char *data, int len, const char *text)
{
    int n = static_cast<int>(strlen(text));
    return len >= n && memcmp(data, text, n) == 0;
}

// The received text with control characters shown as '.', for one line.
static std::string printable(const unsigned char *data, int len)
{
    return printable_text(reinterpret_cast<const char *>(data), len < 0 ? 0 : len, RECEIVE_BUFFER);
}

// The rule a command matches, without acting on it. An "S" that is no
// turn-off of the language is a wrong command: queued, it could only reach
// the UPS as bytes it does not take.
static int rule_of(const unsigned char *data, int len)
{
    if (starts_with(data, len, "ALL"))
        return 1;
    UpsCommand command;
    if (ups_command_at(data, len, &command)) {
        switch (command.kind) {
        case UPS_COMMAND_SHUTDOWN_CANCEL: return 2;
        case UPS_COMMAND_TEST_CANCEL: return 3;
        case UPS_COMMAND_TEST_QUICK: return 4;
        case UPS_COMMAND_TEST_DEEP: return 5;
        default: return 6;
        }
    }
    if (starts_with(data, len, "RefreshMail"))
        return 7;
    if (starts_with(data, len, "RefreshSMS"))
        return 8;
    if (starts_with(data, len, "RefreshPlan"))
        return 9;
    if (len == 10 && memcmp(data, "RefreshSet", 10) == 0)
        return 10;
    return 11;
}

static void report_refusal(uint32_t address, const unsigned char *data, int len, double now)
{
    int count = access_report_due(&reported, address, now);
    if (count == 0)
        return;
    printf("server: command \"%.20s\" from %s refused (%d since the last line): the host may "
           "only read; allow it in %s\n",
           printable(data, len).c_str(), access_address_text(address).c_str(), count,
           ACCESS_FILE);
}

int server_command(const ServerPeer &peer, const unsigned char *data, int len, double now,
                   std::string *reply)
{
    int rule = rule_of(data, len);
    if (rule >= 2 && rule <= 10 && !peer.may_command) {
        report_refusal(peer.address, data, len, now);
        return 12;
    }
    switch (rule) {
    case 1:
        // The unit is a byte value 1..4, not a digit.
        if (len > 3 && data[3] >= 1 && data[3] <= 4) {
            char record[STATUS_RECORD_LEN];
            machine_status_record_cached(&units[data[3] - 1], &record_cache[data[3] - 1],
                                         record);
            reply->append(record, STATUS_RECORD_LEN);
        }
        break;
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
        queue_unit1(data, len);
        break;
    case 7:
        reload_spaced(RELOAD_MAIL, now);
        break;
    case 8:
        reload_spaced(RELOAD_SMS, now);
        break;
    case 9:
        reload_spaced(RELOAD_PLAN, now);
        break;
    case 10:
        reload_spaced(RELOAD_SET, now);
        break;
    default:
        // Garbage comes in floods (every read of it is one): one line per
        // peer per minute, with the count.
        if (int count = access_report_due(&wrong_reported, peer.address, now))
            printf("Debug In SocketInterFace receive wrong command! %s (from %s, %d since the "
                   "last line)\n",
                   printable(data, len).c_str(), access_address_text(peer.address).c_str(),
                   count);
    }
    return rule;
}

// ---- the sessions --------------------------------------------------------

enum { KIND_RECORDS = 0, KIND_MGMT = 1 }; // port 2027, port 3493

// Output a session may let pile up: a few records on 2027, some full
// variable lists on 3493.
static const size_t OUTPUT_LIMIT[2] = {SERVER_OUTPUT_LIMIT, 64 * 1024};

struct Session {
    uint32_t address;  // peer, host byte order
    double last_input; // monotonic seconds of the last read that brought bytes
    std::string out;   // reply bytes not yet taken by the socket
    bool waiting_out;  // EPOLLOUT is asked for
    int kind;          // KIND_RECORDS or KIND_MGMT
    std::string in;    // KIND_MGMT: the start of a line not yet ended
    bool discarding;   // KIND_MGMT: skipping the rest of an over-long line
    bool closing;      // close once `out` is sent (after LOGOUT)
    MgmtSession mgmt;  // KIND_MGMT: the protocol state
    TlsSession *tls;   // KIND_MGMT after STARTTLS: `out` holds TLS records; else nullptr
};

// Touched by the server's thread only.
static int epoll_fd = -1;
static std::unordered_map<int, Session> sessions;
static std::unordered_map<uint32_t, int> per_address;
static double accept_paused_until; // out of descriptors: accepting waits a little

static double monotonic_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static bool loopback(uint32_t address)
{
    return (address >> 24) == 127;
}

static void close_session(int fd)
{
    auto it = sessions.find(fd);
    if (it == sessions.end())
        return;
    if (--per_address[it->second.address] <= 0)
        per_address.erase(it->second.address);
    mgmt_session_end(&it->second.mgmt);
    tls_session_free(it->second.tls);
    sessions.erase(it);
    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    session_count--;
    if (debug_level == 2)
        printf("Leave thread\n");
}

// Sends what the socket takes now; false when the session was closed (the
// peer went away, or let more than SERVER_OUTPUT_LIMIT bytes pile up).
static bool flush(int fd, Session *s)
{
    while (!s->out.empty()) {
        ssize_t n = send(fd, s->out.data(), s->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s->out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        close_session(fd);
        return false;
    }
    if (s->out.size() > OUTPUT_LIMIT[s->kind]) {
        close_session(fd); // a client that asks and never reads
        return false;
    }
    if (s->closing && s->out.empty()) {
        close_session(fd);
        return false;
    }
    bool want_out = !s->out.empty();
    if (want_out != s->waiting_out) {
        struct epoll_event ev;
        ev.events = want_out ? EPOLLIN | EPOLLOUT : EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &ev);
        s->waiting_out = want_out;
    }
    return true;
}

// The RFC 9271 side: requests are lines, however the reads cut them. A line
// longer than the protocol takes is answered once and skipped to its end.
// The replies go to *reply. Stops after a granted STARTTLS: what follows it
// is TLS. Returns the number of bytes taken.
static int read_request_lines(Session *s, const unsigned char *data, int len, std::string *reply)
{
    int i = 0;
    while (i < len && !s->closing && !s->mgmt.tls_start) {
        char c = static_cast<char>(data[i++]);
        if (c != '\n') {
            if (s->discarding)
                continue;
            s->in += c;
            if (s->in.size() > static_cast<size_t>(MGMT_LINE_MAX) + 1) {
                *reply += "ERR TOO-LONG\n";
                s->in.clear();
                s->discarding = true;
            }
            continue;
        }
        if (s->discarding) {
            s->discarding = false;
            continue;
        }
        if (!s->in.empty() && s->in.back() == '\r')
            s->in.pop_back();
        *reply += mgmt_request(&s->mgmt, s->in);
        s->in.clear();
        s->closing = s->mgmt.ending;
    }
    return i;
}

// Port 3493 after STARTTLS: the socket's bytes go through OpenSSL, the
// requests come out of it and the replies go back in, so `out` holds TLS
// records only. The socket stays the loop's: a handshake that waits for the
// peer waits for EPOLLIN like any read, and what OpenSSL has to send waits
// in `out` for EPOLLOUT like any reply.
static void read_tls(Session *s, const unsigned char *data, int len)
{
    if (s->closing)
        return; // a failed handshake's alert is on its way
    tls_input(s->tls, data, len);
    if (!s->mgmt.tls_active) {
        int done = tls_handshake(s->tls);
        if (done < 0)
            s->closing = true; // this session only
        s->mgmt.tls_active = done > 0;
    }
    if (s->mgmt.tls_active) {
        std::string plain, reply;
        bool open = tls_read(s->tls, &plain);
        read_request_lines(s, reinterpret_cast<const unsigned char *>(plain.data()),
                           static_cast<int>(plain.size()), &reply);
        if (!tls_write(s->tls, reply) || !open)
            s->closing = true;
        else if (s->closing)
            tls_end(s->tls); // LOGOUT: an orderly end after the reply
    }
    tls_output(s->tls, &s->out);
}

// Port 3493: lines in clear until a granted STARTTLS, TLS from then on.
static void read_mgmt(Session *s, const unsigned char *data, int len)
{
    if (s->tls) {
        read_tls(s, data, len);
        return;
    }
    int used = read_request_lines(s, data, len, &s->out);
    if (!s->mgmt.tls_start)
        return;
    // "OK STARTTLS" is in `out`, in clear; the rest of this read is the
    // start of the handshake.
    s->mgmt.tls_start = false;
    s->tls = tls_session_new();
    if (!s->tls) {
        s->closing = true;
        return;
    }
    read_tls(s, data + used, len - used);
}

// One read is one command on port 2027, as it always was.
static void read_command(int fd, Session *s, double now)
{
    unsigned char buf[RECEIVE_BUFFER + 1];
    ssize_t n = recv(fd, buf, RECEIVE_BUFFER, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        close_session(fd);
        return;
    }
    buf[n] = '\0';
    s->last_input = now;
    if (s->kind == KIND_MGMT) {
        read_mgmt(s, buf, static_cast<int>(n));
    } else {
        ServerPeer peer = {s->address, access_may_command(s->address)};
        server_command(peer, buf, static_cast<int>(n), now, &s->out);
    }
    if (debug_level == 2)
        printf("%s\n", buf);
    flush(fd, s);
}

// Why a new peer is turned away; nullptr when it is taken.
static const char *refusal(uint32_t address)
{
    int open_now = session_count.load();
    if (open_now >= SERVER_MAX_SESSIONS)
        return "every session is taken";
    if (loopback(address))
        return nullptr;
    if (open_now >= SERVER_MAX_SESSIONS - SERVER_LOOPBACK_RESERVE)
        return "the remaining sessions are kept for this host";
    auto it = per_address.find(address);
    if (it != per_address.end() && it->second >= SERVER_MAX_PER_ADDRESS)
        return "it holds the most sessions one address may";
    return nullptr;
}

static bool mgmt_listener(int fd)
{
    for (int m : mgmt_sockets)
        if (m == fd)
            return true;
    return false;
}

static void watch_listener(int fd)
{
    if (fd < 0)
        return;
    struct epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev);
}

static void watch_listeners()
{
    watch_listener(listen_socket);
    for (int fd : mgmt_sockets)
        watch_listener(fd);
}

static void accept_all(int listener, double now)
{
    int kind = mgmt_listener(listener) ? KIND_MGMT : KIND_RECORDS;
    for (;;) {
        struct sockaddr_in addr;
        socklen_t len = sizeof addr;
        int fd = accept4(listener, reinterpret_cast<struct sockaddr *>(&addr), &len,
                         SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the listening socket stays readable, so
                // stop watching it for a moment rather than spin.
                epoll_ctl(epoll_fd, EPOLL_CTL_DEL, listen_socket, nullptr);
                for (int m : mgmt_sockets)
                    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, m, nullptr);
                accept_paused_until = now + 0.1;
            }
            return; // EAGAIN: all taken; others (an aborted connection): next time
        }
        uint32_t address = len >= sizeof addr ? ntohl(addr.sin_addr.s_addr) : 0;
        if (const char *why = refusal(address)) {
            // One line per peer per minute: a flood of connections must not
            // become a flood of lines.
            if (int count = access_report_due(&connection_reported, address, now))
                printf("server: connection from %s closed: %s (%d clients connected, %d "
                       "refused since the last line)\n",
                       access_address_text(address).c_str(), why, session_count.load(), count);
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        // Replies are 108 bytes: a small kernel buffer keeps what a client
        // that never reads can pile up small, and shows it to flush() soon.
        int buffer = SERVER_SOCKET_BUFFER;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        struct epoll_event ev;
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        Session s{};
        s.address = address;
        s.last_input = now;
        s.kind = kind;
        s.mgmt.peer = address;
        s.mgmt.tls_offered = kind == KIND_MGMT && tls_offered;
        sessions[fd] = s;
        per_address[address]++;
        session_count++;
    }
}

static void forget_reports(double now)
{
    for (AccessReports *table : {&reported, &wrong_reported, &connection_reported})
        access_reports_forget(table, now);
}

static void close_idle(double now)
{
    std::vector<int> idle;
    for (const auto &[fd, s] : sessions)
        if (now - s.last_input >= SERVER_IDLE_SECONDS)
            idle.push_back(fd);
    for (int fd : idle)
        close_session(fd);
}

static void server_loop()
{
    watch_listeners();
    double last_sweep = monotonic_now();
    struct epoll_event events[64];
    for (;;) {
        int n = epoll_wait(epoll_fd, events, 64, 200);
        double now = monotonic_now();
        for (int i = 0; i < n; i++) {
            int fd = events[i].data.fd;
            if (fd == listen_socket || mgmt_listener(fd)) {
                accept_all(fd, now);
                continue;
            }
            auto it = sessions.find(fd);
            if (it == sessions.end())
                continue; // closed earlier in this round
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                read_command(fd, &it->second, now);
            else if (events[i].events & EPOLLOUT)
                flush(fd, &it->second);
        }
        if (accept_paused_until && now >= accept_paused_until) {
            accept_paused_until = 0;
            watch_listeners();
        }
        if (now - last_sweep >= 1.0) {
            close_idle(now);
            forget_reports(now);
            last_sweep = now;
        }
        server_run_due_reloads(now);
    }
}

// ---- start-up ------------------------------------------------------------

// A listening socket on `address`:`port` (host byte order); -1 after one
// line saying why not.
static int listen_on(uint32_t address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        printf("server Fail: socket: %s\n", strerror(errno));
        return -1;
    }
    // A restarted daemon binds at once, even with old connections lingering.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(address);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd, LISTEN_BACKLOG) != 0) {
        printf("server Fail: bind to %s port %d: %s\n", access_address_text(address).c_str(), port,
               strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void server_set_units(MachineContext *unit_contexts)
{
    units = unit_contexts;
}

int server_start(int port, MachineContext *unit_contexts)
{
    units = unit_contexts;
    access_load(program_dir() + ACCESS_FILE);
    users_load(program_dir() + USERS_FILE);
    int fd = listen_on(INADDR_ANY, port);
    if (fd < 0)
        return -1;
    std::string network_path = program_dir() + NETWORK_FILE;
    NetworkSettings network;
    network_read(network_path, &network);
    // Each address on its own: one that cannot be had leaves the others.
    for (uint32_t address : network.listen) {
        int m = listen_on(address, SERVER_MGMT_PORT);
        if (m >= 0)
            mgmt_sockets.push_back(m);
    }
    if (!network.certificate.empty() && !network.key.empty())
        tls_offered = tls_configure(network.certificate, network.key);
    else if (!network.certificate.empty() || !network.key.empty())
        printf("server: STARTTLS stays off: %s names a %s but no %s\n", network_path.c_str(),
               network.key.empty() ? "certificate" : "key",
               network.key.empty() ? "key" : "certificate");
    mgmt_configure(units, agent_machine_count);
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) {
        printf("server Fail: epoll: %s\n", strerror(errno));
        close(fd);
        for (int m : mgmt_sockets)
            close(m);
        mgmt_sockets.clear();
        return -1;
    }
    listen_socket = fd;
    return 0;
}

void server_loop_start()
{
    if (listen_socket >= 0)
        std::thread(server_loop).detach();
}
