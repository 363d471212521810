#include "link/snmp.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
#include <net-snmp/library/snmpUDPDomain.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/epoll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "base/address.h"
#include "base/log.h"

static_assert(std::is_same_v<oid, unsigned long>, "the walk keeps identifiers as unsigned long");

enum { OP_NONE = 0, OP_POLL = 1, OP_SEND = 2 };
enum { STAGE_GET = 1, STAGE_WALK = 2, STAGE_LOCK = 3, STAGE_SET = 4 };

// The library is set up once per process, with only what v1 and v2c over
// UDP need: the UDP transport. The whole init_snmp would read configuration
// and MIB files and set up SNMPv3's cryptography, which triples the
// daemon's memory; every identifier here is numeric, and no file is read.
static void library_init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
        // The UDP transport alone: no TLS or DTLS domains to set up. Once
        // per process, also beside another user of the library (a second
        // registration would leak the first's names).
        if (!netsnmp_tdomain_support(netsnmpUDPDomain, netsnmpUDPDomain_len, nullptr, nullptr))
            netsnmp_udp_ctor();
    });
}

static_assert(std::is_same_v<oid, unsigned long>, "the header's object identifiers");

bool snmp_link_oid_parse(const std::string &text, std::vector<unsigned long> *out)
{
    out->clear();
    const char *p = text.c_str();
    while (*p) {
        char *end = nullptr;
        unsigned long part = strtoul(p, &end, 10);
        if (end == p || out->size() >= MAX_OID_LEN || (*end != '.' && *end != '\0'))
            return false;
        out->push_back(part);
        p = *end == '.' ? end + 1 : end;
    }
    return out->size() >= 2;
}

std::string snmp_link_oid_text(const oid *name, size_t len)
{
    std::string text;
    for (size_t i = 0; i < len; i++) {
        if (i)
            text += '.';
        text += std::to_string(name[i]);
    }
    return text;
}

SnmpValue snmp_link_value(const variable_list *var)
{
    SnmpValue v;
    switch (var->type) {
    case ASN_INTEGER:
        v.kind = SNMP_NUMBER;
        v.number = *var->val.integer;
        break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
        v.kind = SNMP_NUMBER; // unsigned 32 bits: never negative, whatever the long holds
        v.number = static_cast<long long>(static_cast<unsigned long>(*var->val.integer) &
                                          0xffffffffUL);
        break;
    case ASN_OCTET_STR:
        v.kind = SNMP_TEXT;
        v.text.assign(reinterpret_cast<const char *>(var->val.string), var->val_len);
        break;
    case ASN_OBJECT_ID:
        v.kind = SNMP_IDENTIFIER;
        v.text = snmp_link_oid_text(var->val.objid, var->val_len / sizeof(oid));
        break;
    default:
        break; // no such object or instance, end of view, types of no use here
    }
    return v;
}

static std::string peer_of(const SnmpLink *link)
{
    return link->host + ":" + std::to_string(link->port);
}

bool snmp_link_set(SnmpLink *link, const std::string &device, const std::string &community,
                   std::string *why)
{
    std::string host;
    int port = 0;
    int got = ipv4_parse_endpoint(device, SNMP_LINK_PORT, &host, &port);
    if (got == IPV4_ENDPOINT_BAD_PORT) {
        *why = "the port of \"" + device + "\" is not 1..65535";
        return false;
    }
    if (got != IPV4_ENDPOINT_OK) {
        *why = "\"" + device + "\" is not an IPv4 address (A.B.C.D or A.B.C.D:PORT)";
        return false;
    }
    snmp_link_close(link);
    link->host = host;
    link->port = port;
    link->community = community.empty() ? "public" : community;
    link->version = -1;
    link->trying_v1 = false;
    return true;
}

void snmp_link_attach(SnmpLink *link, Loop *loop)
{
    link->loop = loop;
}

bool snmp_link_busy(const SnmpLink *link)
{
    return link->op != OP_NONE;
}

// --- The session and the loop ---------------------------------------------

static void on_readable(Loop *loop, int fd, uint32_t events, void *ctx, LoopTime now);
static void on_retry(Loop *loop, void *ctx, LoopTime now);

// Closes the session. A request still out is dropped first: the library
// calls it back from the close, and that call is for nothing the link waits
// for any more.
static void session_close(SnmpLink *link)
{
    link->reqid = 0;
    if (link->fd >= 0 && link->loop)
        loop_unwatch(link->loop, link->fd);
    link->fd = -1;
    if (link->session)
        snmp_sess_close(link->session);
    link->session = nullptr;
}

// The session for the version to try now, its socket watched by the loop;
// false, after one line, when it cannot be had.
static bool session_open(SnmpLink *link)
{
    long want = link->version >= 0 ? link->version
                                   : link->trying_v1 ? SNMP_VERSION_1 : SNMP_VERSION_2c;
    if (link->session) {
        netsnmp_session *s = snmp_sess_session(link->session);
        if (s && s->version == want)
            return true;
        session_close(link);
    }
    library_init();
    netsnmp_session s;
    snmp_sess_init(&s);
    std::string peer = "udp:" + peer_of(link);
    s.peername = const_cast<char *>(peer.c_str());
    s.version = want;
    s.community = reinterpret_cast<u_char *>(const_cast<char *>(link->community.c_str()));
    s.community_len = link->community.size();
    s.timeout = link->timeout_us;
    s.retries = link->retries;
    link->session = snmp_sess_open(&s); // copies what it keeps
    if (!link->session) {
        log_warning("snmp: cannot open a session to %s", peer.c_str());
        return false;
    }
    netsnmp_transport *transport = snmp_sess_transport(link->session);
    int fd = transport ? transport->sock : -1;
    // Non-blocking: a read the loop asks for never waits, even for a
    // descriptor number that was reused within one round of the loop.
    int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ||
        !loop_watch(link->loop, fd, EPOLLIN, on_readable, link)) {
        log_warning("snmp: cannot watch the socket of the session to %s", peer.c_str());
        snmp_sess_close(link->session);
        link->session = nullptr;
        return false;
    }
    link->fd = fd;
    return true;
}

// The library's end of a request: its answer, its time-out after the
// retries, or a send that failed. Resends are no end. Only noted here; the
// link moves on once the library call that ran this returned.
static int on_reply(int operation, netsnmp_session *, int reqid, netsnmp_pdu *pdu, void *magic)
{
    SnmpLink *link = static_cast<SnmpLink *>(magic);
    bool end = operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE ||
               operation == NETSNMP_CALLBACK_OP_TIMED_OUT ||
               operation == NETSNMP_CALLBACK_OP_SEND_FAILED;
    if (!end || link->reqid == 0 || reqid != link->reqid)
        return 1;
    link->reqid = 0;
    link->replied = true;
    if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu)
        link->reply = snmp_clone_pdu(pdu);
    return 1;
}

// The retry timer follows the library's next time-out or retry.
static void arm_retry(SnmpLink *link, LoopTime now)
{
    if (!link->session || link->reqid == 0) {
        loop_timer_cancel(link->loop, &link->retry_timer);
        return;
    }
    int fds_count = 0;
    int block = 1; // on return 0 when a time-out is pending
    netsnmp_large_fd_set fds;
    netsnmp_large_fd_set_init(&fds, FD_SETSIZE);
    struct timeval wait = {0, 0};
    snmp_sess_select_info2(link->session, &fds_count, &fds, &wait, &block);
    netsnmp_large_fd_set_cleanup(&fds);
    if (block) {
        loop_timer_cancel(link->loop, &link->retry_timer);
        return;
    }
    // A millisecond late, so the library finds the time-out due.
    double due = now.mono + wait.tv_sec + wait.tv_usec / 1e6 + 0.001;
    loop_timer_at(link->loop, &link->retry_timer, due, on_retry, link);
}

// --- The operation --------------------------------------------------------

// Ends the operation in flight and runs its completion, last: the link is
// idle by then, so the completion may start another or close the link.
static void finish(SnmpLink *link, bool ok, LoopTime now)
{
    int op = link->op;
    loop_timer_cancel(link->loop, &link->retry_timer);
    loop_timer_cancel(link->loop, &link->limit_timer);
    link->op = OP_NONE;
    link->stage = 0;
    link->reqid = 0;
    link->replied = false;
    if (link->reply)
        snmp_free_pdu(link->reply);
    link->reply = nullptr;
    void *ctx = link->ctx;
    link->ctx = nullptr;
    if (op == OP_POLL) {
        SnmpPollDone done = link->poll_done;
        link->poll_done = nullptr;
        SnmpPollResult result = ok ? std::move(link->poll_result) : SnmpPollResult{};
        link->poll_result = SnmpPollResult{};
        if (done)
            done(link, ok, result, ctx, now);
    } else if (op == OP_SEND) {
        SnmpSendDone done = link->send_done;
        link->send_done = nullptr;
        link->send_plan = SnmpSendPlan{};
        if (done)
            done(link, ok, ctx, now);
    }
}

// Sends `pdu` (taken) as the request the operation waits for. One that
// cannot go out counts as unanswered, taken from the loop at once.
static void request(SnmpLink *link, netsnmp_pdu *pdu, int stage, LoopTime now)
{
    link->stage = stage;
    link->replied = false;
    link->reqid = 0;
    int id = link->session ? snmp_sess_async_send(link->session, pdu, on_reply, link) : 0;
    if (id == 0) {
        snmp_free_pdu(pdu); // the library leaves a PDU it could not send to its caller
        link->replied = true;
        loop_timer_at(link->loop, &link->retry_timer, now.mono, on_retry, link);
        return;
    }
    link->reqid = id;
    arm_retry(link, now);
}

static void request_walk(SnmpLink *link, LoopTime now)
{
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GETNEXT);
    snmp_add_null_var(pdu, link->at.data(), link->at.size());
    request(link, pdu, STAGE_WALK, now);
}

// The index in the poll's objects of a varbind's name; -1 for none.
static int object_of(const SnmpLink *link, const variable_list *var)
{
    std::string name = snmp_link_oid_text(var->name, var->name_length);
    const std::vector<std::string> &objects = link->poll_plan.objects;
    for (size_t i = 0; i < objects.size(); i++)
        if (objects[i] == name)
            return static_cast<int>(i);
    return -1;
}

static void got_objects(SnmpLink *link, netsnmp_pdu *reply, LoopTime now)
{
    SnmpPollResult &result = link->poll_result;
    // SNMP v1 refuses a whole GET for one missing object: it is left out
    // and the rest asked again.
    if (reply->errstat == SNMP_ERR_NOSUCHNAME) {
        netsnmp_pdu *again = snmp_fix_pdu(reply, SNMP_MSG_GET); // nullptr when nothing is left
        if (!again || link->rounds > static_cast<int>(result.values.size())) {
            if (again)
                snmp_free_pdu(again);
            finish(link, true, now);
            return;
        }
        link->rounds++;
        request(link, again, STAGE_GET, now);
        return;
    }
    if (reply->errstat != SNMP_ERR_NOERROR) {
        finish(link, false, now);
        return;
    }
    for (variable_list *var = reply->variables; var; var = var->next_variable) {
        int i = object_of(link, var);
        if (i >= 0)
            result.values[i] = snmp_link_value(var);
    }
    int walk_if = link->poll_plan.walk_if;
    bool walk = walk_if >= 0 && walk_if < static_cast<int>(result.values.size()) &&
                result.values[walk_if].kind == SNMP_NUMBER && result.values[walk_if].number > 0;
    if (!walk || !snmp_link_oid_parse(link->poll_plan.column, &link->at)) {
        finish(link, true, now);
        return;
    }
    link->rounds = 0;
    request_walk(link, now);
}

// One row of the column, or its end: a name outside the column, an
// exception, an error, or a name that does not move on (a card that would
// keep a walk going forever).
static void got_row(SnmpLink *link, netsnmp_pdu *reply, LoopTime now)
{
    std::vector<oid> column;
    snmp_link_oid_parse(link->poll_plan.column, &column);
    variable_list *var = reply->variables;
    bool inside = reply->errstat == SNMP_ERR_NOERROR && var && var->name_length > column.size() &&
                  snmp_oid_compare(var->name, column.size(), column.data(), column.size()) == 0 &&
                  snmp_oid_compare(var->name, var->name_length, link->at.data(), link->at.size()) > 0 &&
                  var->type != SNMP_ENDOFMIBVIEW && var->type != SNMP_NOSUCHOBJECT &&
                  var->type != SNMP_NOSUCHINSTANCE;
    SnmpPollResult &result = link->poll_result;
    if (!inside) {
        result.walked = true; // past the column: every row was read
        finish(link, true, now);
        return;
    }
    result.column.push_back(snmp_link_value(var));
    link->at.assign(var->name, var->name + var->name_length);
    if (++link->rounds >= link->walk_max) {
        result.walked = true; // as far as a walk goes
        finish(link, true, now);
        return;
    }
    request_walk(link, now);
}

// The SET request, with the lock as `lock_reply` gave it (when it did).
static void request_sets(SnmpLink *link, netsnmp_pdu *lock_reply, LoopTime now)
{
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_SET);
    std::vector<oid> name;
    if (lock_reply && snmp_link_oid_parse(link->send_plan.lock, &name)) {
        variable_list *var = lock_reply->variables;
        if (lock_reply->errstat == SNMP_ERR_NOERROR && var && var->type == ASN_INTEGER) {
            long lock = *var->val.integer;
            snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER, &lock, sizeof lock);
        }
    }
    for (const SnmpSet &s : link->send_plan.sets) {
        if (!snmp_link_oid_parse(s.oid, &name))
            continue;
        if (s.kind == SNMP_IDENTIFIER) {
            std::vector<oid> value;
            snmp_link_oid_parse(s.text, &value);
            snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OBJECT_ID, value.data(),
                                  value.size() * sizeof(oid));
        } else {
            long number = static_cast<long>(s.number);
            snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER, &number,
                                  sizeof number);
        }
    }
    request(link, pdu, STAGE_SET, now);
}

static void got_set(SnmpLink *link, netsnmp_pdu *reply, LoopTime now)
{
    bool ok = reply->errstat == SNMP_ERR_NOERROR;
    if (!ok) {
        std::string what = "?";
        long index = 1;
        for (variable_list *var = reply->variables; var; var = var->next_variable, index++)
            if (index == reply->errindex)
                what = snmp_link_oid_text(var->name, var->name_length);
        log_warning("snmp: the card at %s refused the SET of %s: %s", peer_of(link).c_str(),
                    what.c_str(), snmp_errstring(static_cast<int>(reply->errstat)));
    }
    finish(link, ok, now);
}

// The request waited for ended: `reply` (taken; nullptr when none came).
static void step(SnmpLink *link, netsnmp_pdu *reply, LoopTime now)
{
    if (!reply) {
        if (link->version < 0)
            link->trying_v1 = !link->trying_v1; // the next operation tries the other version
        if (link->stage == STAGE_LOCK) {
            request_sets(link, nullptr, now); // the SETs go without the lock
            return;
        }
        if (link->stage == STAGE_SET)
            log_warning("snmp: the card at %s did not answer a command", peer_of(link).c_str());
        finish(link, false, now);
        return;
    }
    if (link->version < 0 && link->session)
        link->version = snmp_sess_session(link->session)->version;
    switch (link->stage) {
    case STAGE_GET: got_objects(link, reply, now); break;
    case STAGE_WALK: got_row(link, reply, now); break;
    case STAGE_LOCK: request_sets(link, reply, now); break;
    case STAGE_SET: got_set(link, reply, now); break;
    default: finish(link, false, now); break;
    }
    snmp_free_pdu(reply); // a copy: the link may be closed by now
}

// After the library ran: the next step when the request ended, else the
// retry timer set for what the library waits for now.
static void advance(SnmpLink *link, LoopTime now)
{
    if (link->op == OP_NONE)
        return;
    if (!link->replied) {
        arm_retry(link, now);
        return;
    }
    netsnmp_pdu *reply = link->reply;
    link->reply = nullptr;
    link->replied = false;
    step(link, reply, now);
}

// One line about the answers dropped since the last, at most one a minute.
static void report_foreign(SnmpLink *link, const sockaddr_in &from, LoopTime now)
{
    if (link->foreign_reported && now.mono - link->foreign_reported_at < SNMP_LINK_FOREIGN_REPEAT)
        return;
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    log_warning("snmp: %d answers not from the card at %s dropped (the last from %s:%u)",
                link->foreign_unreported, peer_of(link).c_str(), address,
                static_cast<unsigned>(ntohs(from.sin_port)));
    link->foreign_unreported = 0;
    link->foreign_reported = true;
    link->foreign_reported_at = now.mono;
}

// Drops the datagrams at the head of the socket's queue that came from
// another address or port than the card's, SNMP_LINK_FOREIGN_MAX at most
// (the loop comes back while more wait). True when the card's own is next,
// for the library to read (also when the socket has an error to tell it).
static bool card_datagram_next(SnmpLink *link, LoopTime now)
{
    in_addr card;
    if (inet_pton(AF_INET, link->host.c_str(), &card) != 1)
        return true; // not reached: snmp_link_set took the address
    for (int i = 0; i < SNMP_LINK_FOREIGN_MAX; i++) {
        sockaddr_in from;
        socklen_t len = sizeof from;
        memset(&from, 0, sizeof from);
        unsigned char byte;
        ssize_t n = recvfrom(link->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        if (from.sin_family == AF_INET && from.sin_addr.s_addr == card.s_addr &&
            ntohs(from.sin_port) == link->port)
            return true;
        recv(link->fd, &byte, 1, MSG_DONTWAIT); // takes the whole datagram off
        link->foreign_dropped++;
        link->foreign_unreported++;
        report_foreign(link, from, now);
    }
    return false;
}

static void on_readable(Loop *, int fd, uint32_t, void *ctx, LoopTime now)
{
    SnmpLink *link = static_cast<SnmpLink *>(ctx);
    if (!link->session || !card_datagram_next(link, now))
        return;
    netsnmp_large_fd_set fds;
    netsnmp_large_fd_set_init(&fds, FD_SETSIZE);
    NETSNMP_LARGE_FD_SET(fd, &fds);
    snmp_sess_read2(link->session, &fds); // an answer to nothing waited for is dropped
    netsnmp_large_fd_set_cleanup(&fds);
    advance(link, now);
}

static void on_retry(Loop *, void *ctx, LoopTime now)
{
    SnmpLink *link = static_cast<SnmpLink *>(ctx);
    if (link->session)
        snmp_sess_timeout(link->session); // resends, or ends the request after its retries
    advance(link, now);
}

// The operation's limit: a request still out is dropped with the session.
// Also how an operation that could not start ends, from the loop.
static void on_limit(Loop *, void *ctx, LoopTime now)
{
    SnmpLink *link = static_cast<SnmpLink *>(ctx);
    if (link->op == OP_NONE)
        return;
    if (link->reqid != 0) {
        log_debug("snmp: the card at %s did not finish within %.1f s; given up",
                  peer_of(link).c_str(), link->limit_s);
        session_close(link);
    }
    finish(link, false, now);
}

// Takes the link for an operation and opens its session; false when busy
// or not ready. A session that cannot be opened ends the operation from
// the loop.
static bool start(SnmpLink *link, int op, void *ctx, LoopTime *now)
{
    if (!link->loop || link->host.empty() || link->op != OP_NONE)
        return false;
    *now = loop_now(link->loop);
    link->op = op;
    link->ctx = ctx;
    link->reqid = 0;
    link->replied = false;
    link->rounds = 0;
    if (!session_open(link)) {
        loop_timer_at(link->loop, &link->limit_timer, now->mono, on_limit, link);
        return true;
    }
    loop_timer_at(link->loop, &link->limit_timer, now->mono + link->limit_s, on_limit, link);
    return true;
}

bool snmp_link_poll_start(SnmpLink *link, const SnmpPollPlan &plan, SnmpPollDone done, void *ctx)
{
    LoopTime now;
    if (!start(link, OP_POLL, ctx, &now))
        return false;
    link->poll_done = done;
    link->poll_plan = plan;
    link->poll_result = SnmpPollResult{};
    link->poll_result.values.resize(plan.objects.size());
    if (!link->session)
        return true; // ends from the loop
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    std::vector<oid> name;
    for (const std::string &object : plan.objects)
        if (snmp_link_oid_parse(object, &name))
            snmp_add_null_var(pdu, name.data(), name.size());
    link->rounds = 1;
    request(link, pdu, STAGE_GET, now);
    return true;
}

bool snmp_link_send_start(SnmpLink *link, const SnmpSendPlan &plan, SnmpSendDone done, void *ctx)
{
    LoopTime now;
    if (!start(link, OP_SEND, ctx, &now))
        return false;
    link->send_done = done;
    link->send_plan = plan;
    if (!link->session)
        return true; // ends from the loop
    std::vector<oid> lock;
    if (plan.lock.empty() || !snmp_link_oid_parse(plan.lock, &lock)) {
        request_sets(link, nullptr, now);
        return true;
    }
    // The lock as it is now goes with the SETs, so two managers never act
    // over each other.
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    snmp_add_null_var(pdu, lock.data(), lock.size());
    request(link, pdu, STAGE_LOCK, now);
    return true;
}

void snmp_link_close(SnmpLink *link)
{
    if (link->loop) {
        loop_timer_cancel(link->loop, &link->retry_timer);
        loop_timer_cancel(link->loop, &link->limit_timer);
    }
    session_close(link);
    link->op = OP_NONE;
    link->stage = 0;
    link->replied = false;
    if (link->reply)
        snmp_free_pdu(link->reply);
    link->reply = nullptr;
    link->poll_done = nullptr;
    link->send_done = nullptr;
    link->ctx = nullptr;
    link->poll_result = SnmpPollResult{};
    link->send_plan = SnmpSendPlan{};
}
