#include "link/snmp.h"
#include "tests/netns.h"

#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
#include <net-snmp/library/snmpUDPDomain.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

// Net-SNMP keeps the UDP transport's names in an allocation nothing points
// to once it is set up (once per process): not the link's leak.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:netsnmp_udp_ctor\n";
}

namespace {

// The loop's clock: the real one plus a step the test adds, so the link's
// limit runs by the test while the library's time-outs run by the wall.
struct Clock {
    double step = 0;
};

LoopTime clock_now(void *ctx)
{
    LoopTime t = loop_real_time();
    t.mono += static_cast<Clock *>(ctx)->step;
    return t;
}

// Lenient: the card's own objects and the tests' column names, empty ones
// too (the link's parser refuses those).
std::vector<oid> parse(const std::string &text)
{
    std::vector<oid> out;
    const char *p = text.c_str();
    while (*p) {
        char *end = nullptr;
        out.push_back(strtoul(p, &end, 10));
        p = *end == '.' ? end + 1 : end;
    }
    return out;
}

// One object of the test card.
struct Object {
    u_char type;
    long number;
    std::string text; // ASN_OCTET_STR: the octets; ASN_OBJECT_ID: dotted
};

// A card on 127.0.0.1 made of Net-SNMP's own server side, on the test's
// loop: it answers GET, GETNEXT and SET from `objects` as an agent of
// `versions` does (v1: noSuchName for a missing object), or holds the
// requests for the test to answer, or answers nothing.
struct Card {
    void *session = nullptr;
    int fd = -1;
    std::string address; // "127.0.0.1:PORT"
    std::map<std::vector<oid>, Object> objects;
    bool v1_only = false;
    bool silent = false;
    bool hold = false;
    bool endless = false; // a GETNEXT below `endless_column` always finds one more row
    std::string endless_column;
    std::deque<netsnmp_pdu *> held;
    std::vector<std::string> seen; // "GET v2c 1.3...,1.3..." per request taken
    std::vector<std::string> sets; // "OID=value" of every SET taken

    void set(const std::string &name, u_char type, long number, const std::string &text = "")
    {
        objects[parse(name)] = Object{type, number, text};
    }
};

int card_request(int op, netsnmp_session *, int, netsnmp_pdu *pdu, void *magic);

void card_read(Loop *, int, uint32_t, void *ctx, LoopTime)
{
    Card *card = static_cast<Card *>(ctx);
    netsnmp_large_fd_set fds;
    netsnmp_large_fd_set_init(&fds, FD_SETSIZE);
    NETSNMP_LARGE_FD_SET(card->fd, &fds);
    snmp_sess_read2(card->session, &fds);
    netsnmp_large_fd_set_cleanup(&fds);
}

void card_value(netsnmp_variable_list *var, const Object &o)
{
    if (o.type == ASN_OCTET_STR) {
        snmp_set_var_typed_value(var, o.type, o.text.data(), o.text.size());
    } else if (o.type == ASN_OBJECT_ID) {
        std::vector<oid> id = parse(o.text);
        snmp_set_var_typed_value(var, o.type, id.data(), id.size() * sizeof(oid));
    } else {
        snmp_set_var_typed_value(var, o.type, &o.number, sizeof o.number);
    }
}

// Answers `request` from the card's objects, through `from` (another
// session bound elsewhere: a forger) or the card's own session.
void card_answer(Card *card, netsnmp_pdu *request, void *from = nullptr)
{
    netsnmp_pdu *reply = snmp_clone_pdu(request);
    reply->command = SNMP_MSG_RESPONSE;
    reply->errstat = SNMP_ERR_NOERROR;
    reply->errindex = 0;
    bool v1 = request->version == SNMP_VERSION_1;
    long index = 0;
    for (netsnmp_variable_list *var = reply->variables; var; var = var->next_variable) {
        index++;
        std::vector<oid> name(var->name, var->name + var->name_length);
        if (request->command == SNMP_MSG_SET) {
            std::string value = var->type == ASN_OBJECT_ID
                                    ? snmp_link_oid_text(var->val.objid, var->val_len / sizeof(oid))
                                    : std::to_string(*var->val.integer);
            card->sets.push_back(snmp_link_oid_text(var->name, var->name_length) + "=" + value);
            continue;
        }
        auto it = card->objects.end();
        if (request->command == SNMP_MSG_GET) {
            it = card->objects.find(name);
        } else {
            it = card->objects.upper_bound(name);
            std::vector<oid> column = parse(card->endless_column);
            if (card->endless && name.size() >= column.size() &&
                std::equal(column.begin(), column.end(), name.begin())) {
                std::vector<oid> next = column;
                next.push_back(name.size() > column.size() ? name[column.size()] + 1 : 1);
                snmp_set_var_objid(var, next.data(), next.size());
                card_value(var, Object{ASN_OBJECT_ID, 0, "1.3.6.1.2.1.33.1.6.3.2"});
                continue;
            }
        }
        if (it == card->objects.end()) {
            if (v1) {
                reply->errstat = SNMP_ERR_NOSUCHNAME;
                reply->errindex = index;
                break;
            }
            u_char type = request->command == SNMP_MSG_GET ? SNMP_NOSUCHOBJECT : SNMP_ENDOFMIBVIEW;
            snmp_set_var_typed_value(var, type, nullptr, 0);
            continue;
        }
        snmp_set_var_objid(var, it->first.data(), it->first.size());
        card_value(var, it->second);
    }
    if (reply->errstat != SNMP_ERR_NOERROR) {
        // v1 answers an error with the request's varbinds as they came.
        snmp_free_varbind(reply->variables);
        reply->variables = snmp_clone_varbind(request->variables);
    }
    if (!snmp_sess_send(from ? from : card->session, reply))
        snmp_free_pdu(reply);
}

int card_request(int op, netsnmp_session *, int, netsnmp_pdu *pdu, void *magic)
{
    Card *card = static_cast<Card *>(magic);
    if (op != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || !pdu)
        return 1;
    if (card->silent || (card->v1_only && pdu->version != SNMP_VERSION_1))
        return 1;
    std::string what = pdu->command == SNMP_MSG_GET       ? "GET"
                       : pdu->command == SNMP_MSG_GETNEXT ? "GETNEXT"
                       : pdu->command == SNMP_MSG_SET     ? "SET"
                                                          : "?";
    what += pdu->version == SNMP_VERSION_1 ? " v1 " : " v2c ";
    for (netsnmp_variable_list *var = pdu->variables; var; var = var->next_variable)
        what += snmp_link_oid_text(var->name, var->name_length) + (var->next_variable ? "," : "");
    card->seen.push_back(what);
    if (card->hold)
        card->held.push_back(snmp_clone_pdu(pdu));
    else
        card_answer(card, pdu);
    return 1;
}

class SnmpLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A network namespace of its own where it can be had (root): only
        // loopback, and every port free.
        enter_private_network();
        loop = loop_new(clock_now, &clock);
        ASSERT_NE(loop, nullptr);
        std::string why;
        link.timeout_us = 100000; // 0.1 s and one retry
        snmp_link_attach(&link, loop);

        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        if (!netsnmp_tdomain_support(netsnmpUDPDomain, netsnmpUDPDomain_len, nullptr, nullptr))
            netsnmp_udp_ctor(); // as the link sets it up: once per process
        netsnmp_transport *t = netsnmp_transport_open_server("snmp", "udp:127.0.0.1:0");
        ASSERT_NE(t, nullptr);
        netsnmp_session s;
        snmp_sess_init(&s);
        s.version = SNMP_DEFAULT_VERSION; // takes v1 and v2c
        s.callback = card_request;
        s.callback_magic = &card;
        card.session = snmp_sess_add(&s, t, nullptr, nullptr);
        ASSERT_NE(card.session, nullptr);
        card.fd = t->sock;
        sockaddr_in a;
        socklen_t len = sizeof a;
        ASSERT_EQ(getsockname(card.fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
        card.address = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        ASSERT_TRUE(loop_watch(loop, card.fd, EPOLLIN, card_read, &card));
        ASSERT_TRUE(snmp_link_set(&link, card.address, "ngroup", &why)) << why;
    }
    void TearDown() override
    {
        snmp_link_close(&link);
        for (netsnmp_pdu *p : card.held)
            snmp_free_pdu(p);
        if (card.session) {
            loop_unwatch(loop, card.fd);
            snmp_sess_close(card.session);
        }
        loop_free(loop);
    }

    // Runs the loop until `done` or 10 s of the wall have passed; true when done.
    template <typename F> bool run_until(F done)
    {
        double end = loop_real_time().mono + 10;
        while (!done() && loop_real_time().mono < end)
            loop_run_once(loop, 50);
        return done();
    }

    // Answers what the card holds, as the loop takes it.
    void release()
    {
        while (!card.held.empty()) {
            netsnmp_pdu *p = card.held.front();
            card.held.pop_front();
            card_answer(&card, p);
            snmp_free_pdu(p);
        }
    }

    Clock clock;
    Loop *loop = nullptr;
    SnmpLink link;
    Card card;
};

struct Polled {
    int calls = 0;
    bool answered = false;
    SnmpPollResult result;
};

void poll_done(SnmpLink *, bool answered, const SnmpPollResult &result, void *ctx, LoopTime)
{
    Polled *p = static_cast<Polled *>(ctx);
    p->calls++;
    p->answered = answered;
    p->result = result;
}

struct Sent {
    int calls = 0;
    bool ok = false;
};

void send_done(SnmpLink *, bool ok, void *ctx, LoopTime)
{
    Sent *s = static_cast<Sent *>(ctx);
    s->calls++;
    s->ok = ok;
}

const std::string UPS = "1.3.6.1.2.1.33.1.";

SnmpPollPlan plan_of(std::vector<std::string> objects, int walk_if = -1, std::string column = "")
{
    SnmpPollPlan plan;
    plan.objects = objects;
    plan.walk_if = walk_if;
    plan.column = column;
    return plan;
}

// One poll in every shape the card may answer it: the values come by the
// plan's index, a missing object is missing, the column is walked only when
// the object says rows are there, and v1 leaves out what it refuses.
TEST_F(SnmpLinkTest, PollReadsTheObjectsAndWalksTheColumnWhenRowsArePresent)
{
    card.set(UPS + "1.1.0", ASN_OCTET_STR, 0, "SIMULATED");
    card.set(UPS + "3.3.1.3.1", ASN_INTEGER, 230);
    card.set(UPS + "6.2.1.2.1", ASN_OBJECT_ID, 0, UPS + "6.3.2");
    card.set(UPS + "6.2.1.2.4", ASN_OBJECT_ID, 0, UPS + "6.3.3");
    card.set(UPS + "6.2.1.3.1", ASN_TIMETICKS, 5);
    std::vector<std::string> objects = {UPS + "1.1.0", UPS + "9.9.0", UPS + "3.3.1.3.1", UPS + "6.1.0"};
    struct Case {
        const char *what;
        bool v1_only;
        long present; // upsAlarmsPresent; -1: not there
        std::vector<std::string> column;
    } cases[] = {
        {"rows present", false, 2, {UPS + "6.3.2", UPS + "6.3.3"}},
        {"none present", false, 0, {}},
        {"v1 and rows present", true, 1, {UPS + "6.3.2", UPS + "6.3.3"}},
        {"v1 and the count missing", true, -1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        card.v1_only = c.v1_only;
        card.objects.erase(parse(UPS + "6.1.0"));
        if (c.present >= 0)
            card.set(UPS + "6.1.0", ASN_GAUGE, c.present);
        std::string why;
        ASSERT_TRUE(snmp_link_set(&link, card.address, "ngroup", &why));
        Polled p;
        for (int attempt = 0; attempt < 2 && !p.answered; attempt++) {
            p = Polled{};
            ASSERT_TRUE(snmp_link_poll_start(&link, plan_of(objects, 3, UPS + "6.2.1.2"), poll_done, &p));
            EXPECT_EQ(p.calls, 0) << "never called back from the start";
            ASSERT_TRUE(run_until([&] { return p.calls > 0; }));
            EXPECT_FALSE(snmp_link_busy(&link));
            EXPECT_EQ(p.answered, !c.v1_only || attempt == 1) << "a v1 card answers the second poll";
        }
        ASSERT_TRUE(p.answered);
        ASSERT_EQ(p.result.values.size(), objects.size());
        EXPECT_EQ(p.result.values[0].kind, SNMP_TEXT);
        EXPECT_EQ(p.result.values[0].text, "SIMULATED");
        EXPECT_EQ(p.result.values[1].kind, -1);
        EXPECT_EQ(p.result.values[2].number, 230);
        EXPECT_EQ(p.result.values[3].kind, c.present >= 0 ? SNMP_NUMBER : -1);
        EXPECT_EQ(p.result.walked, c.present > 0);
        std::vector<std::string> column;
        for (const SnmpValue &v : p.result.column)
            column.push_back(v.text);
        EXPECT_EQ(column, c.column);
    }
}

// A SET goes with the spin lock as the card had it; without a lock, alone.
TEST_F(SnmpLinkTest, SendReadsTheLockFirstAndSetsItWithTheValues)
{
    card.set(UPS + "7.2.0", ASN_INTEGER, 41);
    SnmpSendPlan plan;
    plan.sets = {{UPS + "7.1.0", SNMP_IDENTIFIER, 0, UPS + "7.7.4"}};
    plan.lock = UPS + "7.2.0";
    Sent s;
    ASSERT_TRUE(snmp_link_send_start(&link, plan, send_done, &s));
    ASSERT_TRUE(run_until([&] { return s.calls > 0; }));
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(card.seen.front(), "GET v2c " + UPS + "7.2.0");
    EXPECT_EQ(card.sets, (std::vector<std::string>{UPS + "7.2.0=41", UPS + "7.1.0=" + UPS + "7.7.4"}));

    card.sets.clear();
    plan = SnmpSendPlan{};
    plan.sets = {{UPS + "8.2.0", SNMP_NUMBER, -1, ""}, {UPS + "8.3.0", SNMP_NUMBER, 780, ""}};
    s = Sent{};
    ASSERT_TRUE(snmp_link_send_start(&link, plan, send_done, &s));
    ASSERT_TRUE(run_until([&] { return s.calls > 0; }));
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(card.sets, (std::vector<std::string>{UPS + "8.2.0=-1", UPS + "8.3.0=780"}));
}

// A silent card: the poll ends unanswered after its time-out and one
// retry, from the loop, which never waits longer than its next timer; one
// operation at a time; the next poll tries v1.
TEST_F(SnmpLinkTest, SilentCardEndsThePollUnansweredAndTheNextTriesV1)
{
    card.silent = true;
    Polled p;
    SnmpPollPlan plan = plan_of({UPS + "1.1.0"});
    ASSERT_TRUE(snmp_link_poll_start(&link, plan, poll_done, &p));
    EXPECT_TRUE(snmp_link_busy(&link));
    Polled other;
    EXPECT_FALSE(snmp_link_poll_start(&link, plan, poll_done, &other)) << "not doubled";
    EXPECT_FALSE(snmp_link_send_start(&link, SnmpSendPlan{}, send_done, &other));
    double t0 = loop_real_time().mono;
    double longest = 0;
    while (p.calls == 0 && loop_real_time().mono < t0 + 10) {
        double before = loop_real_time().mono;
        loop_run_once(loop, 1000);
        longest = std::max(longest, loop_real_time().mono - before);
    }
    ASSERT_EQ(p.calls, 1);
    EXPECT_FALSE(p.answered);
    EXPECT_LT(longest, 0.5) << "the loop woke for each time-out, not after a second";
    EXPECT_FALSE(snmp_link_busy(&link));
    EXPECT_EQ(other.calls, 0);

    card.silent = false;
    card.v1_only = true;
    card.set(UPS + "1.1.0", ASN_OCTET_STR, 0, "SIMULATED");
    p = Polled{};
    ASSERT_TRUE(snmp_link_poll_start(&link, plan, poll_done, &p));
    ASSERT_TRUE(run_until([&] { return p.calls > 0; }));
    EXPECT_TRUE(p.answered);
    EXPECT_EQ(card.seen.back(), "GET v1 " + UPS + "1.1.0");
}

// A card that answers every request a little before its time-out, by the
// loop's clock: the whole poll ends at the link's limit, unanswered, and
// the loop never waits for the card.
TEST_F(SnmpLinkTest, SlowCardIsGivenUpAtTheLimit)
{
    link.timeout_us = 5000000; // the library's own time-out stays out of the way
    card.hold = true;
    card.set(UPS + "6.1.0", ASN_GAUGE, 40);
    for (int row = 1; row <= 40; row++)
        card.set(UPS + "6.2.1.2." + std::to_string(row), ASN_OBJECT_ID, 0, UPS + "6.3.2");
    Polled p;
    ASSERT_TRUE(snmp_link_poll_start(&link, plan_of({UPS + "6.1.0"}, 0, UPS + "6.2.1.2"), poll_done, &p));
    int answered = 0;
    while (p.calls == 0 && answered < 20) {
        ASSERT_TRUE(run_until([&] { return !card.held.empty(); }));
        clock.step += 1.9;
        loop_run_once(loop, 0); // the limit's timer, when it is due
        if (p.calls)
            break;
        release();
        answered++;
    }
    ASSERT_EQ(p.calls, 1);
    EXPECT_FALSE(p.answered);
    EXPECT_EQ(answered, 3) << "6 s: the GET and two rows";
    EXPECT_FALSE(snmp_link_busy(&link));

    // The late answer to the dropped request is never taken.
    release();
    loop_run_once(loop, 100);
    EXPECT_EQ(p.calls, 1);
}

// A session bound to `address` ("udp:A.B.C.D:0") that answers nothing: it
// sends the answers a test forges.
void *forger_open(const char *address)
{
    netsnmp_transport *t = netsnmp_transport_open_server("snmp", address);
    if (!t)
        return nullptr;
    netsnmp_session s;
    snmp_sess_init(&s);
    s.version = SNMP_DEFAULT_VERSION;
    return snmp_sess_add(&s, t, nullptr, nullptr);
}

// Answers with the right request id from another address, or from the
// card's address but another port, are dropped unread, counted and said in
// one line; the card's own answer is then taken.
TEST_F(SnmpLinkTest, AnswersFromAnyoneButTheCardAreDropped)
{
    void *forgers[] = {forger_open("udp:127.0.0.2:0"), forger_open("udp:127.0.0.1:0")};
    ASSERT_NE(forgers[0], nullptr);
    ASSERT_NE(forgers[1], nullptr);
    card.hold = true;
    const std::string source = UPS + "4.1.0";
    Polled p;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(snmp_link_poll_start(&link, plan_of({source}), poll_done, &p));
    ASSERT_TRUE(run_until([&] { return !card.held.empty(); }));
    card.set(source, ASN_INTEGER, 5); // battery, as the forgers say
    for (void *forger : forgers)
        for (int copy = 0; copy < 3; copy++)
            card_answer(&card, card.held.front(), forger);
    EXPECT_TRUE(run_until([&] { return link.foreign_dropped == 6; }));
    card.set(source, ASN_INTEGER, 3); // normal, as the card says
    release();
    ASSERT_TRUE(run_until([&] { return p.calls > 0; }));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(p.answered);
    ASSERT_EQ(p.result.values.size(), 1u);
    EXPECT_EQ(p.result.values[0].number, 3) << "the card's answer, not a forger's";
    EXPECT_EQ(link.foreign_dropped, 6);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find("not from the card at " + card.address), std::string::npos) << out;
    for (void *forger : forgers)
        snmp_sess_close(forger);
}

// A column that never ends is read SNMP_LINK_WALK_MAX rows far.
TEST_F(SnmpLinkTest, EndlessColumnIsReadAsFarAsAWalkGoes)
{
    card.set(UPS + "6.1.0", ASN_GAUGE, 1);
    card.endless = true;
    card.endless_column = UPS + "6.2.1.2";
    Polled p;
    ASSERT_TRUE(snmp_link_poll_start(&link, plan_of({UPS + "6.1.0"}, 0, UPS + "6.2.1.2"), poll_done, &p));
    ASSERT_TRUE(run_until([&] { return p.calls > 0; }));
    EXPECT_TRUE(p.answered);
    EXPECT_TRUE(p.result.walked);
    EXPECT_EQ(p.result.column.size(), static_cast<size_t>(SNMP_LINK_WALK_MAX));
}

// Closing drops what is in flight: no completion, not even for an answer
// already on its way; the link can start again at once.
TEST_F(SnmpLinkTest, CloseDropsThePollWithoutCallingBack)
{
    card.hold = true;
    card.set(UPS + "1.1.0", ASN_INTEGER, 1);
    Polled p;
    ASSERT_TRUE(snmp_link_poll_start(&link, plan_of({UPS + "1.1.0"}), poll_done, &p));
    ASSERT_TRUE(run_until([&] { return !card.held.empty(); }));
    release();
    snmp_link_close(&link);
    EXPECT_FALSE(snmp_link_busy(&link));
    clock.step += 60;
    for (int i = 0; i < 5; i++)
        loop_run_once(loop, 50);
    EXPECT_EQ(p.calls, 0);

    card.hold = false;
    ASSERT_TRUE(snmp_link_poll_start(&link, plan_of({UPS + "1.1.0"}), poll_done, &p));
    ASSERT_TRUE(run_until([&] { return p.calls > 0; }));
    EXPECT_TRUE(p.answered);
    EXPECT_EQ(p.result.values[0].number, 1);
}

// The card's address is an IPv4 endpoint (base/address); an operation
// needs a set link and a loop.
TEST(SnmpLinkSet, TakesACardsAddressAndNeedsALoop)
{
    SnmpLink link;
    std::string why;
    EXPECT_FALSE(snmp_link_set(&link, "10.0.0.1:99999", "", &why));
    EXPECT_NE(why.find("not 1..65535"), std::string::npos) << why;
    EXPECT_FALSE(snmp_link_set(&link, "card.example", "", &why));
    EXPECT_NE(why.find("not an IPv4 address"), std::string::npos) << why;
    EXPECT_FALSE(snmp_link_poll_start(&link, SnmpPollPlan{}, poll_done, nullptr)) << "not set";
    EXPECT_TRUE(snmp_link_set(&link, "10.0.0.1:1161", "", &why));
    EXPECT_EQ(link.host, "10.0.0.1");
    EXPECT_EQ(link.port, 1161);
    EXPECT_EQ(link.community, "public");
    EXPECT_FALSE(snmp_link_poll_start(&link, SnmpPollPlan{}, poll_done, nullptr)) << "no loop";
    EXPECT_FALSE(snmp_link_busy(&link));
}

} // namespace
