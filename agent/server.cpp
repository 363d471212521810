#include "agent/server.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "agent/access.h"
#include "agent/mgmt.h"
#include "base/log.h"
#include "base/peer_owner.h"
#include "agent/users.h"
#include "agent/network.h"
#include "agent/tls.h"
#include "agent/decision.h"
#include "protocol/ups_command.h"
#include "store/mail.h"
#include "store/paths.h"
#include "store/schedule.h"
#include "store/sms.h"
#include "store/textfile.h"

static const int RECEIVE_BUFFER = 1024;
static const int LISTEN_BACKLOG = 64;
static const int SERVER_SOCKET_BUFFER = 16384;

enum { KIND_RECORDS = 0, KIND_MGMT = 1 }; // port 2027, port 3493

// One address and port the server listens on.
struct Listener {
    uint32_t address; // host byte order
    int port;
    int kind;         // KIND_RECORDS or KIND_MGMT
    int fd = -1;      // -1 while not bound
    bool reported = false; // its failure to bind was said
};

static Loop *loop = nullptr;
static std::vector<Listener> listeners;
static bool tls_offered = false;      // the certificate and key of Network.ang loaded
static bool tls_required = false;     // Network.ang's tls-required
static MachineContext *units = nullptr;
static ServerHooks hooks;
static int session_count = 0;
static MachineRecordCache record_cache[4];
static LoopTimer sweep_timer, bind_timer, accept_timer;

// ---- the command table ---------------------------------------------------

enum { RELOAD_MAIL, RELOAD_SMS, RELOAD_PLAN, RELOAD_SET, RELOAD_KINDS };

// Reload spacing, touched by the server's thread only.
static double reload_last[RELOAD_KINDS]; // when each kind last ran; 0 never
static bool reload_held[RELOAD_KINDS];   // one is waiting for its turn

// Per peer (access_peer_key): when its last UPS command was taken
// (monotonic seconds); at most ACCESS_TABLE_LIMIT peers.
static std::unordered_map<uint32_t, double> command_taken;

static void reload(int kind, LoopTime now)
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
        struct tm t;
        localtime_r(&now.wall, &t);
        schedule_select_today(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
        break;
    }
    case RELOAD_SET:
        access_load(program_dir() + ACCESS_FILE);
        users_load(program_dir() + USERS_FILE);
        if (hooks.reload_settings)
            hooks.reload_settings(hooks.ctx);
        break;
    }
}

// A reload within SERVER_RELOAD_SPACING of the previous one of its kind is
// carried out once, that long after the previous one, however many came in
// between: a save in the console always takes effect, a flood costs one
// reload per spacing.
static void reload_spaced(int kind, LoopTime now)
{
    if (reload_last[kind] == 0 || now.mono - reload_last[kind] >= SERVER_RELOAD_SPACING) {
        reload_last[kind] = now.mono;
        reload_held[kind] = false;
        reload(kind, now);
    } else {
        reload_held[kind] = true;
    }
}

void server_run_due_reloads(LoopTime now)
{
    for (int k = 0; k < RELOAD_KINDS; k++)
        if (reload_held[k] && now.mono - reload_last[k] >= SERVER_RELOAD_SPACING)
            reload_spaced(k, now);
}

void server_reload_all(LoopTime now)
{
    for (int k = 0; k < RELOAD_KINDS; k++) {
        reload_last[k] = now.mono;
        reload_held[k] = false;
        reload(k, now);
    }
}

// The UPS command a request is: all of it, exactly one command of the
// language with its carriage return.
static bool ups_command_at(const unsigned char *data, int len, UpsCommand *command)
{
    return len > 0 && ups_command_parse(reinterpret_cast<const char *>(data), len, command);
}

// The read's UPS command goes to the shutdown decision (a turn-off starts a
// planned shutdown, a cancel is refused while a condition holds); what it
// passes (the tests) joins unit 1's ordinary lane.
static void queue_unit1(const ServerPeer &peer, const unsigned char *data, int len,
                        LoopTime now)
{
    UpsCommand command;
    if (!ups_command_at(data, len, &command))
        return;
    std::string source = access_address_text(peer.address);
    if (decision_command(now.wall, command, source.c_str()) != DECISION_PASS)
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

static void report_refusal(const ServerPeer &peer, const unsigned char *data, int len,
                           double now)
{
    int count = access_line_due(ACCESS_LINE_REFUSED_COMMAND, now);
    if (count == 0)
        return;
    if (peer.why.empty())
        log_warning("server: command \"%.20s\" from %s refused (%d since the last line): the "
                    "host may only read; allow it in %s",
                    printable(data, len).c_str(), access_address_text(peer.address).c_str(),
                    count, ACCESS_FILE);
    else
        log_warning("server: command \"%.20s\" from %s refused (%d since the last line): %s",
                    printable(data, len).c_str(), access_address_text(peer.address).c_str(),
                    count, peer.why.c_str());
}

// Forgets the peers whose last UPS command is older than the spacing, and
// when that leaves the table full, the one of the oldest.
static void forget_commands(double now)
{
    std::erase_if(command_taken, [now](const auto &entry) {
        return now - entry.second >= SERVER_COMMAND_SPACING;
    });
    access_table_make_room(&command_taken, [](double taken) { return taken; });
}

// A client that repeats a UPS command in a loop must not fill unit 1's
// queue: one a second per peer is taken, the others dropped.
static bool too_soon(uint32_t address, const unsigned char *data, int len, double now)
{
    uint32_t peer = access_peer_key(address);
    auto it = command_taken.find(peer);
    if (it != command_taken.end() && now - it->second < SERVER_COMMAND_SPACING) {
        if (int count = access_line_due(ACCESS_LINE_SPACED_COMMAND, now))
            log_warning("server: command \"%.20s\" from %s refused: one UPS command a second "
                        "per host (%d since the last line)",
                        printable(data, len).c_str(), access_address_text(address).c_str(), count);
        return true;
    }
    if (it == command_taken.end() && command_taken.size() >= ACCESS_TABLE_LIMIT)
        forget_commands(now);
    command_taken[peer] = now;
    return false;
}

int server_command(const ServerPeer &peer, const unsigned char *data, int len, LoopTime now,
                   std::string *reply)
{
    int rule = rule_of(data, len);
    if (rule >= 2 && rule <= 10 && !peer.may_command) {
        report_refusal(peer, data, len, now.mono);
        return 12;
    }
    if (rule >= 2 && rule <= 6 && too_soon(peer.address, data, len, now.mono))
        return 13;
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
        queue_unit1(peer, data, len, now);
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
        // Garbage comes in floods (every read of it is one), from rotating
        // sources too: one line a minute, with the count.
        if (int count = access_line_due(ACCESS_LINE_WRONG_COMMAND, now.mono))
            log_warning("server: unknown command \"%s\" from %s (%d since the last line)",
                        printable(data, len).c_str(), access_address_text(peer.address).c_str(),
                        count);
    }
    return rule;
}

bool server_request_needs_right(const unsigned char *data, int len)
{
    int rule = rule_of(data, len);
    return rule >= 2 && rule <= 10;
}

// ---- command assembly ----------------------------------------------------

// The reloads, by name.
static const char *const RELOAD_NAMES[] = {"RefreshMail", "RefreshSMS", "RefreshPlan",
                                           "RefreshSet"};

enum { REQUEST_NO, REQUEST_MORE, REQUEST_WHOLE };

// Whether `r` (no CR in it) may still become a UPS command line: shorter
// than the longest command and only of the language's bytes. The one parser
// (ups_command_parse) judges the line once its CR is there.
static bool command_prefix(const std::string &r)
{
    if (r.size() >= static_cast<size_t>(UPS_COMMAND_MAX_LEN))
        return false;
    for (char c : r)
        if (!strchr("STLCR.0123456789", c) || c == '\0')
            return false;
    return true;
}

// What the bytes of a request so far (no CR in them) are: whole (ALL and
// its unit byte, or a reload other than RefreshSet), the start of a request
// (RefreshSet itself waits for what follows it), or no request at all.
static int request_state(const std::string &r)
{
    static const std::string all = "ALL";
    if (r.size() == 4 && r.compare(0, 3, all) == 0)
        return REQUEST_WHOLE;
    if (r.size() <= 3 && all.compare(0, r.size(), r) == 0)
        return REQUEST_MORE;
    for (const char *name : RELOAD_NAMES) {
        size_t n = strlen(name);
        if (r.size() <= n && r.compare(0, r.size(), name, r.size()) == 0)
            return r.size() == n && strcmp(name, "RefreshSet") != 0 ? REQUEST_WHOLE : REQUEST_MORE;
    }
    return command_prefix(r) ? REQUEST_MORE : REQUEST_NO;
}

static bool separator(unsigned char c)
{
    return c == '\r' || c == '\n' || c == '\0';
}

void server_stream_take(ServerStream *stream, const unsigned char *data, int len,
                        std::vector<std::string> *requests)
{
    std::string &r = stream->pending;
    enum { TAKING, WRONG, DROPPING } mode = TAKING; // within this read only
    for (int i = 0; i < len; i++) {
        unsigned char c = data[i];
        if (mode != TAKING) {
            if (mode == WRONG && r.size() < static_cast<size_t>(SERVER_REQUEST_MAX))
                r += static_cast<char>(c);
            if (c == '\r') {
                if (mode == WRONG)
                    requests->push_back(r);
                r.clear();
                mode = TAKING;
            }
            continue;
        }
        if (r.empty() && separator(c))
            continue;
        if (r == "RefreshSet") {
            if (separator(c)) {
                requests->push_back(r);
                r.clear();
                continue;
            }
            r += static_cast<char>(c); // glued to more: no reload
            mode = WRONG;
            continue;
        }
        r += static_cast<char>(c);
        if (c == '\r') { // a line
            requests->push_back(r);
            r.clear();
            continue;
        }
        int state = request_state(r);
        if (state == REQUEST_WHOLE) {
            requests->push_back(r);
            bool reload = r[0] == 'R';
            r.clear();
            if (reload)
                mode = DROPPING;
        } else if (state == REQUEST_NO) {
            mode = WRONG;
        }
    }
    // The end of a read ends a wrong request and a RefreshSet.
    if (mode == WRONG || r == "RefreshSet") {
        requests->push_back(r);
        r.clear();
    }
}

// ---- the sessions --------------------------------------------------------

// Output a session may let pile up: a few records on 2027, some full
// variable lists on 3493.
static const size_t OUTPUT_LIMIT[2] = {SERVER_OUTPUT_LIMIT, 64 * 1024};

struct Session {
    uint32_t address;  // peer, host byte order
    uint32_t peer;     // access_peer_key(address): what per-peer limits count
    double last_input; // monotonic seconds of the last read that brought bytes
    double last_request; // ...and of the last whole request (server_session_over)
    std::string out;   // reply bytes not yet taken by the socket
    bool waiting_out;  // EPOLLOUT is asked for
    int kind;          // KIND_RECORDS or KIND_MGMT
    std::string in;    // KIND_MGMT: the start of a line not yet ended
    bool discarding;   // KIND_MGMT: skipping the rest of an over-long line
    bool closing;      // close once `out` is sent (after LOGOUT)
    MgmtSession mgmt;  // KIND_MGMT: the protocol state
    TlsSession *tls;   // KIND_MGMT after STARTTLS: `out` holds TLS records; else nullptr
    ServerStream stream; // KIND_RECORDS: the start of a request not yet complete
    bool owner_asked;  // KIND_RECORDS from loopback: `owner` was looked up
    PeerOwner owner;   // who runs the client, learnt at its first command
};

static std::unordered_map<int, Session> sessions;
static std::unordered_map<uint32_t, int> per_peer; // sessions by Session::peer

static bool loopback(uint32_t address)
{
    return (address >> 24) == 127;
}

// Whether a loopback client run by `owner` may use the reserve: root and
// the group of Clients.ang, those who may command.
static bool owner_privileged(uint32_t address, const PeerOwner &owner)
{
    return owner.known && access_may_command(address, owner.uid);
}

bool server_peer_privileged(int fd, uint32_t address, void *)
{
    return loopback(address) && owner_privileged(address, peer_owner_of_accepted(fd));
}

uint32_t server_local_peer_key(const PeerOwner &owner)
{
    if (!owner.known)
        return 0x7f000000u; // the loopback peer of access_peer_key
    return 0x7f000000u | (owner.uid % 0xfffffeu + 1);
}

// Whether a new port 3493 session at `fd` must STARTTLS before a password:
// with tls-required, every session that reached an address outside
// 127.0.0.0/8 (the listener's own, or the one a 0.0.0.0 listener was
// reached at); loopback stays as it was.
static bool session_needs_tls(int fd)
{
    if (!tls_required)
        return false;
    struct sockaddr_in local;
    socklen_t len = sizeof local;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &len) != 0 ||
        len < sizeof local)
        return true; // unknown: the safe side
    return !loopback(ntohl(local.sin_addr.s_addr));
}

const char *server_session_over(double now, double last_input, double last_request)
{
    if (now - last_input >= SERVER_IDLE_SECONDS)
        return "idle";
    if (now - last_request >= SERVER_REQUEST_SECONDS)
        return "no whole request";
    return nullptr;
}

static void close_session(int fd)
{
    auto it = sessions.find(fd);
    if (it == sessions.end())
        return;
    if (--per_peer[it->second.peer] <= 0)
        per_peer.erase(it->second.peer);
    mgmt_session_end(&it->second.mgmt);
    tls_session_free(it->second.tls);
    sessions.erase(it);
    loop_unwatch(loop, fd);
    close(fd);
    session_count--;
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
        loop_rewatch(loop, fd, want_out ? EPOLLIN | EPOLLOUT : EPOLLIN);
        s->waiting_out = want_out;
    }
    return true;
}

// The RFC 9271 side: requests are lines, however the reads cut them. A line
// longer than the protocol takes is answered once and skipped to its end.
// The replies go to *reply. Stops after a granted STARTTLS: what follows it
// is TLS. Returns the number of bytes taken.
static int read_request_lines(Session *s, const unsigned char *data, int len, LoopTime now,
                              std::string *reply)
{
    const char *text = reinterpret_cast<const char *>(data);
    int i = 0;
    while (i < len && !s->closing && !s->mgmt.tls_start) {
        const char *nl = static_cast<const char *>(memchr(text + i, '\n', len - i));
        int end = nl ? static_cast<int>(nl - text) : len; // the line's part in this read
        if (!s->discarding) {
            s->in.append(text + i, end - i);
            if (s->in.size() > static_cast<size_t>(MGMT_LINE_MAX) + 1) {
                *reply += "ERR TOO-LONG\n";
                s->in.clear();
                s->discarding = true;
            }
        }
        i = nl ? end + 1 : len;
        if (!nl)
            break;
        if (s->discarding) {
            s->discarding = false;
            continue;
        }
        if (!s->in.empty() && s->in.back() == '\r')
            s->in.pop_back();
        *reply += mgmt_request(&s->mgmt, s->in, now);
        s->last_request = now.mono;
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
static void read_tls(Session *s, const unsigned char *data, int len, LoopTime now)
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
                           static_cast<int>(plain.size()), now, &reply);
        if (!tls_write(s->tls, reply) || !open)
            s->closing = true;
        else if (s->closing)
            tls_end(s->tls); // LOGOUT: an orderly end after the reply
    }
    tls_output(s->tls, &s->out);
}

// Port 3493: lines in clear until a granted STARTTLS, TLS from then on.
static void read_mgmt(Session *s, const unsigned char *data, int len, LoopTime now)
{
    if (s->tls) {
        read_tls(s, data, len, now);
        return;
    }
    int used = read_request_lines(s, data, len, now, &s->out);
    if (!s->mgmt.tls_start)
        return;
    // "OK STARTTLS" is in `out`, in clear; the rest of this read is the
    // start of the handshake.
    s->mgmt.tls_start = false;
    if (!tls_handshake_allowed(s->peer, now.mono)) {
        if (int count = access_line_due(ACCESS_LINE_HANDSHAKES, now.mono))
            log_warning("server: TLS from %s closed: more than %d handshakes a minute (%d "
                        "since the last line)",
                        access_address_text(s->address).c_str(), TLS_HANDSHAKES_PER_MINUTE,
                        count);
        s->closing = true; // before any handshake work
        return;
    }
    s->tls = tls_session_new();
    if (!s->tls) {
        s->closing = true;
        return;
    }
    read_tls(s, data + used, len - used, now);
}

// What a client may do. One on this host: by the uid its socket belongs to,
// asked of the kernel once per session, at its first request that needs a
// right; the rules are applied anew at each (a reload changes them).
static void peer_right(int fd, Session *s, ServerPeer *peer)
{
    if (!loopback(s->address)) {
        peer->may_command = access_may_command(s->address, ACCESS_OWNER_UNKNOWN);
        return;
    }
    if (!s->owner_asked) {
        s->owner = peer_owner_of_accepted(fd);
        s->owner_asked = true;
    }
    peer->may_command =
        access_may_command(s->address, s->owner.known ? s->owner.uid : ACCESS_OWNER_UNKNOWN);
    if (peer->may_command)
        return;
    if (!s->owner.known) {
        peer->why = s->owner.why;
        return;
    }
    char why[200];
    std::string groups = access_group_names();
    if (groups.empty())
        snprintf(why, sizeof why,
                 "the client runs as uid %u, not root (a line \"group NAME\" in %s lets a "
                 "group's members command)", s->owner.uid, ACCESS_FILE);
    else
        snprintf(why, sizeof why, "the client runs as uid %u, neither root nor in %.100s",
                 s->owner.uid, groups.c_str());
    peer->why = why;
}

// Port 2027: the read's bytes become requests, each acted on in turn.
static void read_records(int fd, Session *s, const unsigned char *data, int len, LoopTime now)
{
    static std::vector<std::string> requests; // reused: the server's thread only
    requests.clear();
    server_stream_take(&s->stream, data, len, &requests);
    for (const std::string &r : requests) {
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(r.data());
        int n = static_cast<int>(r.size());
        ServerPeer peer = {s->address, true, {}};
        if (server_request_needs_right(bytes, n))
            peer_right(fd, s, &peer);
        if (server_command(peer, bytes, n, now, &s->out) != 11)
            s->last_request = now.mono; // bytes that are no request do not keep it
    }
}

// A session's socket is ready.
static void on_session(Loop *, int fd, uint32_t events, void *, LoopTime now)
{
    auto it = sessions.find(fd);
    if (it == sessions.end())
        return;
    Session *s = &it->second;
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        flush(fd, s);
        return;
    }
    unsigned char buf[RECEIVE_BUFFER + 1];
    ssize_t n = recv(fd, buf, RECEIVE_BUFFER, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        close_session(fd);
        return;
    }
    buf[n] = '\0';
    s->last_input = now.mono;
    if (s->kind == KIND_MGMT) {
        read_mgmt(s, buf, static_cast<int>(n), now);
    } else {
        read_records(fd, s, buf, static_cast<int>(n), now);
    }
    flush(fd, s);
}

const char *server_refusal(int open, int held, bool privileged)
{
    if (open >= SERVER_MAX_SESSIONS)
        return "every session is taken";
    if (privileged)
        return nullptr;
    if (open >= SERVER_MAX_SESSIONS - SERVER_LOOPBACK_RESERVE)
        return "the remaining sessions are kept for this host's administrators";
    if (held >= SERVER_MAX_PER_ADDRESS)
        return "it holds the most sessions one peer may";
    return nullptr;
}

static void on_accept(Loop *, int fd, uint32_t, void *ctx, LoopTime now);

static void watch_listeners(Loop *, void *, LoopTime)
{
    for (Listener &l : listeners)
        if (l.fd >= 0)
            loop_watch(loop, l.fd, EPOLLIN, on_accept, &l);
}

static void on_accept(Loop *, int listen_fd, uint32_t, void *ctx, LoopTime now)
{
    const Listener *listener = static_cast<const Listener *>(ctx);
    for (;;) {
        struct sockaddr_in addr;
        socklen_t len = sizeof addr;
        int fd = accept4(listen_fd, reinterpret_cast<struct sockaddr *>(&addr), &len,
                         SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the listening sockets stay readable, so
                // stop watching them for a moment rather than spin.
                for (const Listener &l : listeners)
                    if (l.fd >= 0)
                        loop_unwatch(loop, l.fd);
                loop_timer_at(loop, &accept_timer, now.mono + 0.1, watch_listeners, nullptr);
            }
            return; // EAGAIN: all taken; others (an aborted connection): next time
        }
        uint32_t address = len >= sizeof addr ? ntohl(addr.sin_addr.s_addr) : 0;
        uint32_t peer = access_peer_key(address);
        bool privileged;
        bool owner_asked = false;
        PeerOwner owner;
        if (hooks.peer_privileged) {
            privileged = hooks.peer_privileged(fd, address, hooks.ctx);
        } else if (loopback(address)) {
            // Who runs the client decides its share: root and the group
            // may use the reserve; every other local uid is a peer of its
            // own, as a remote address is.
            owner = peer_owner_of_accepted(fd);
            owner_asked = true;
            privileged = owner_privileged(address, owner);
            if (!privileged)
                peer = server_local_peer_key(owner);
        } else {
            privileged = false;
        }
        auto held = per_peer.find(peer);
        if (const char *why = server_refusal(session_count,
                                             held == per_peer.end() ? 0 : held->second,
                                             privileged)) {
            // One line a minute: a flood of connections must not become a
            // flood of lines.
            if (int count = access_line_due(ACCESS_LINE_REFUSED_CONNECTION, now.mono))
                log_warning("server: connection from %s closed: %s (%d clients connected, %d "
                            "refused since the last line)",
                            access_address_text(address).c_str(), why, session_count, count);
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        // Replies are 108 bytes: a small kernel buffer keeps what a client
        // that never reads can pile up small, and shows it to flush() soon.
        int buffer = SERVER_SOCKET_BUFFER;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        if (!loop_watch(loop, fd, EPOLLIN, on_session, nullptr)) {
            close(fd);
            continue;
        }
        Session s{};
        s.address = address;
        s.peer = peer;
        s.owner_asked = owner_asked;
        s.owner = owner;
        s.last_input = now.mono;
        s.last_request = now.mono;
        s.kind = listener->kind;
        s.mgmt.peer = address;
        s.mgmt.source = peer; // a local user's guesses cost only that user's logins
        s.mgmt.tls_offered = listener->kind == KIND_MGMT && tls_offered;
        s.mgmt.tls_required = listener->kind == KIND_MGMT && session_needs_tls(fd);
        sessions[fd] = s;
        per_peer[peer]++;
        session_count++;
    }
}

// Sessions that went idle or trickle bytes without a whole request.
static void close_idle(double now)
{
    std::vector<int> over;
    for (const auto &[fd, s] : sessions)
        if (server_session_over(now, s.last_input, s.last_request))
            over.push_back(fd);
    for (int fd : over)
        close_session(fd);
}

// Once a second: idle sessions, old entries of the spacing table, held-back
// reloads.
static void sweep(Loop *, void *, LoopTime now)
{
    close_idle(now.mono);
    forget_commands(now.mono);
    server_run_due_reloads(now);
    loop_timer_at(loop, &sweep_timer, now.mono + 1.0, sweep, nullptr);
}

// ---- start-up ------------------------------------------------------------

// Binds `l`; false after one line saying why not (once, until it works).
static bool bind_listener(Listener *l)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        log_error("server: socket: %s", strerror(errno));
        return false;
    }
    // A restarted daemon binds at once, even with old connections lingering.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(l->port));
    addr.sin_addr.s_addr = htonl(l->address);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd, LISTEN_BACKLOG) != 0) {
        if (!l->reported)
            log_error("server: cannot listen on %s port %d: %s; trying again every %.0f s",
                      access_address_text(l->address).c_str(), l->port, strerror(errno),
                      SERVER_BIND_RETRY);
        l->reported = true;
        close(fd);
        return false;
    }
    if (l->reported)
        log_notice("server: listening on %s port %d", access_address_text(l->address).c_str(),
                   l->port);
    l->reported = false;
    l->fd = fd;
    loop_watch(loop, fd, EPOLLIN, on_accept, l);
    return true;
}

// Every listener not yet bound is tried; again in SERVER_BIND_RETRY seconds
// while one is left.
static void bind_all(Loop *, void *, LoopTime now)
{
    bool missing = false;
    for (Listener &l : listeners)
        if (l.fd < 0 && !bind_listener(&l))
            missing = true;
    if (missing)
        loop_timer_at(loop, &bind_timer, now.mono + SERVER_BIND_RETRY, bind_all, nullptr);
}

void server_set_units(MachineContext *unit_contexts)
{
    units = unit_contexts;
}

void server_start(Loop *event_loop, const ServerPorts &ports, MachineContext *unit_contexts,
                  const ServerHooks &server_hooks)
{
    loop = event_loop;
    units = unit_contexts;
    hooks = server_hooks;
    access_load(program_dir() + ACCESS_FILE);
    users_load(program_dir() + USERS_FILE);
    std::string network_path = program_dir() + NETWORK_FILE;
    NetworkSettings network;
    network_read(network_path, &network);
    // The listeners' addresses stay put from here on: their handlers hold them.
    listeners.clear();
    listeners.reserve(1 + network.listen.size());
    listeners.push_back({INADDR_ANY, ports.records, KIND_RECORDS});
    for (uint32_t address : network.listen)
        listeners.push_back({address, ports.mgmt, KIND_MGMT});
    if (!network.certificate.empty() && !network.key.empty())
        tls_offered = tls_configure(network.certificate, network.key);
    else if (!network.certificate.empty() || !network.key.empty())
        log_warning("server: STARTTLS stays off: %s names a %s but no %s", network_path.c_str(),
                    network.key.empty() ? "certificate" : "key",
                    network.key.empty() ? "key" : "certificate");
    tls_required = network.tls_required;
    if (tls_required && !tls_offered)
        log_warning("server: %s says tls-required but STARTTLS is off: no login on port 3493 "
                    "but over loopback", network_path.c_str());
    mgmt_configure(units, hooks.unit_count, hooks.ctx);
    LoopTime now = loop_now(loop);
    bind_all(loop, nullptr, now);
    loop_timer_at(loop, &sweep_timer, now.mono + 1.0, sweep, nullptr);
}

void server_stop()
{
    if (!loop)
        return;
    std::vector<int> open_fds;
    for (const auto &entry : sessions)
        open_fds.push_back(entry.first);
    for (int fd : open_fds)
        close_session(fd);
    for (Listener &l : listeners) {
        if (l.fd >= 0) {
            loop_unwatch(loop, l.fd);
            close(l.fd);
        }
    }
    listeners.clear();
    for (LoopTimer *t : {&sweep_timer, &bind_timer, &accept_timer})
        loop_timer_cancel(loop, t);
    loop = nullptr;
}

int server_bound_port(int kind)
{
    for (const Listener &l : listeners) {
        if (l.kind != kind || l.fd < 0)
            continue;
        struct sockaddr_in addr;
        socklen_t len = sizeof addr;
        if (getsockname(l.fd, reinterpret_cast<struct sockaddr *>(&addr), &len) == 0)
            return ntohs(addr.sin_port);
    }
    return 0;
}
