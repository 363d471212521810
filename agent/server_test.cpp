#include "agent/server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "agent/access.h"
#include "agent/decision.h"
#include "agent/tls.h"
#include "store/mail.h"
#include "tests/tempdir.h"

namespace {

const unsigned char *bytes(const char *text)
{
    return reinterpret_cast<const unsigned char *>(text);
}

LoopTime at(double mono)
{
    return {mono, time(nullptr)};
}

int command(const ServerPeer &peer, const char *text, double now)
{
    std::string reply;
    return server_command(peer, bytes(text), static_cast<int>(strlen(text)), at(now), &reply);
}

void write_mail(const std::string &dir, const char *server)
{
    std::ofstream(dir + "Set/Mail.ang") << server << "\nups@x\na@x\n000000001\n";
}

// A flood of reloads costs one reload per spacing, and the last one asked
// for always takes effect.
TEST(Server, ReloadsAreSpacedAndNeverLost)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    ServerPeer local = {0x7f000001, true, {}};
    double t = 1000;
    write_mail(dir.path, "first");
    EXPECT_EQ(command(local, "RefreshMail", t), 7);
    EXPECT_STREQ(mail_settings_get().mail_server, "first") << "the first one at once";
    write_mail(dir.path, "second");
    for (double dt = 0.5; dt < 4.9; dt += 0.5)
        command(local, "RefreshMail", t + dt);
    server_run_due_reloads(at(t + 4.9));
    EXPECT_STREQ(mail_settings_get().mail_server, "first") << "held back";
    write_mail(dir.path, "third");
    server_run_due_reloads(at(t + 5.0));
    EXPECT_STREQ(mail_settings_get().mail_server, "third") << "once, 5 s after the previous";
    write_mail(dir.path, "fourth");
    server_run_due_reloads(at(t + 20));
    EXPECT_STREQ(mail_settings_get().mail_server, "third") << "nothing more was asked";
    EXPECT_EQ(command(local, "RefreshMail", t + 20), 7);
    EXPECT_STREQ(mail_settings_get().mail_server, "fourth");
}

// The UPS commands of the table: the rule a read matches and what joins unit
// 1's queue, the command up to its carriage return; an "S" that is no
// turn-off the UPS takes is a wrong command and queues nothing.
TEST(Server, UpsCommandsJoinUnitOnesQueueAsTheLanguageHasThem)
{
    TempProgramDir dir;
    static MachineContext units[4];
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_LOCAL_SINGLE, i + 1);
    server_set_units(units);
    ServerPeer local = {0x7f000005, true, {}}; // its own peer: wrong-command lines are per peer
    struct Row {
        std::string bytes;
        int rule;
        const char *queued;
    } rows[] = {
        {"C\r", 2, "C\r"},
        {"CT\r", 3, "CT\r"},
        {"T\r", 4, "T\r"},
        {"TL\r", 5, "TL\r"},
        {"T\rjunk", 11, ""}, // one request is one command: the stream cuts them
        {"S05\r", 6, "S05\r"},
        {"S.5\r", 6, "S02\r"}, // a planned shutdown: never before the UPS delay
        {"S02R0480\r", 6, "S02R0480\r"},
        {"S02R0480\rS03\r", 11, ""},
        {"S\xff\x00\x1b[2J\r", 11, ""},
        {"S120\r", 11, ""},
        {"S00\r", 11, ""},
        {"S05", 11, ""},
        {"S02R48\r", 11, ""},
        {"S" + std::string(70, '9') + "\r", 11, ""},
        {"TLX\r", 11, ""},
        {"C", 11, ""},
    };
    testing::internal::CaptureStdout();
    decision_init(&units[0]); // the turn-offs and the cancel are the decision's
    decision_configure({10, 1, 2}, true);
    double t = 2000;
    for (const Row &r : rows) {
        decision_start("server-test-boot"); // each row from nothing under way
        std::string reply;
        t += SERVER_COMMAND_SPACING; // one a second is taken
        EXPECT_EQ(server_command(local, bytes(r.bytes.c_str()), static_cast<int>(r.bytes.size()),
                                 at(t), &reply),
                  r.rule)
            << r.bytes;
        std::string all, one;
        while (machine_take_pending(&units[0], &one))
            all += one;
        EXPECT_EQ(all, r.queued) << r.bytes;
    }
    decision_init(nullptr);
    testing::internal::GetCapturedStdout();
}

// A client that sends a UPS command every 0.25 s: one a second per peer
// joins the queue, the rest are dropped with one line a minute and the
// count; other peers, reads and reloads are not held up.
TEST(Server, UpsCommandsAreOneASecondPerPeer)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    static MachineContext units[4];
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_LOCAL_SINGLE, i + 1);
    server_set_units(units);
    ServerPeer flood = {0x7f000009, true, {}}, other = {0x0a000009, true, {}};
    std::vector<double> taken;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 250; i++) { // a minute and a bit
        double t = 3000 + i * 0.25;
        int rule = command(flood, "CT\r", t);
        EXPECT_TRUE(rule == 3 || rule == 13) << rule;
        if (rule == 3)
            taken.push_back(t);
        if (i == 10) {
            EXPECT_EQ(command(other, "T\r", t), 4) << "another address is not held up";
            EXPECT_EQ(command(flood, "ALL\x01\x00", t), 1) << "reads are not counted";
            EXPECT_EQ(command(flood, "RefreshMail", t), 7);
        }
        std::string one;
        while (machine_take_pending(&units[0], &one)) {
        }
    }
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_GE(taken.size(), 2u);
    for (size_t i = 1; i < taken.size(); i++)
        EXPECT_GE(taken[i] - taken[i - 1], SERVER_COMMAND_SPACING - 1e-9);
    EXPECT_EQ(taken.size(), 63u) << "every fourth";
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find("command \"CT.\" from 127.0.0.9 refused: one UPS command a second per "
                       "host (1 since the last line)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("(180 since the last line)"), std::string::npos) << out;
}

// Port 2027's bytes as requests, however the reads cut or join them: each
// row is a session's reads in turn, the requests they give, and what waits
// for the next read.
TEST(Server, RequestsAreCutFromTheByteStream)
{
    using namespace std::string_literals;
    using Reads = std::vector<std::string>;
    struct Row {
        Reads reads;
        Reads requests;
        std::string pending;
    } rows[] = {
        // One request per read, as the console and the daemons send them.
        {{"ALL\x01\x00"s}, {"ALL\x01"}, ""},
        {{"T\r"}, {"T\r"}, ""},
        {{"RefreshPlan"}, {"RefreshPlan"}, ""},
        {{"RefreshSet"}, {"RefreshSet"}, ""},
        {{"ALL2"}, {"ALL2"}, ""},
        // Split over reads.
        {{"S02R", "0480\r"}, {"S02R0480\r"}, ""},
        {{"S", "0", "2", "R", "0", "4", "8", "0", "\r"}, {"S02R0480\r"}, ""},
        {{"AL", "L\x03", "\x00"s}, {"ALL\x03"}, ""},
        {{"Refre", "shSMS"}, {"RefreshSMS"}, ""},
        {{"RefreshSe", "t"}, {"RefreshSet"}, ""},
        {{"S02R"}, {}, "S02R"},
        {{"TL"}, {}, "TL"},
        {{"S02R", "Q1\r"}, {"S02RQ1\r"}, ""}, // never glued into a command
        // Several in one read.
        {{"S01\rQ\rT\r"}, {"S01\r", "Q\r", "T\r"}, ""},
        {{"ALL\x01\x00T\r"s}, {"ALL\x01", "T\r"}, ""},
        {{"T\r\nCT\r"}, {"T\r", "CT\r"}, ""}, // the LF is stray
        {{"ALL\x01\x00" "ALL\x02\x00"s}, {"ALL\x01", "ALL\x02"}, ""},
        {{"RefreshSet\rT\r"}, {"RefreshSet", "T\r"}, ""},
        {{"RefreshPlan\rC\r"}, {"RefreshPlan", "C\r"}, ""},
        // Foreign bytes: a wrong request to the CR or the read's end.
        {{"S\xff\x00\x1b[2J\r"s}, {"S\xff\x00\x1b[2J\r"s}, ""},
        {{"S\xff\x00\x1b[2J\rT\r"s}, {"S\xff\x00\x1b[2J\r"s, "T\r"}, ""},
        {{"garbage"}, {"garbage"}, ""},
        {{"garbage", "T\r"}, {"garbage", "T\r"}, ""},
        {{"xyzT\r"}, {"xyzT\r"}, ""},
        {{"RefreshSet!"}, {"RefreshSet!"}, ""},
        {{"RefreshMail and more"}, {"RefreshMail"}, ""}, // trailing bytes as always
        {{"RefreshMail and more\rT\r"}, {"RefreshMail", "T\r"}, ""},
        {{"S120\r"}, {"S120\r"}, ""}, // a line: server_command refuses its value
        {{"TLX\r"}, {"TLX\r"}, ""},
        {{"\r\n\x00\r"s}, {}, ""},
        {{std::string(3000, 'x')}, {std::string(SERVER_REQUEST_MAX, 'x')}, ""},
    };
    for (const Row &r : rows) {
        ServerStream stream;
        Reads got;
        for (const std::string &read : r.reads)
            server_stream_take(&stream, bytes(read.c_str()), static_cast<int>(read.size()), &got);
        std::string shown;
        for (const std::string &read : r.reads) {
            shown += '[';
            shown += read;
            shown += ']';
        }
        EXPECT_EQ(got, r.requests) << shown;
        EXPECT_EQ(stream.pending, r.pending) << shown;
    }
}

// Every command but a read needs the rules' consent; a refusal is one line
// a minute, with the count.
TEST(Server, CommandsOfAReadOnlyPeerAreDroppedWithOneLineAMinute)
{
    TempProgramDir dir;
    ServerPeer other = {0x0a000002, false, {}};
    testing::internal::CaptureStdout();
    const char *commands[] = {"C\r", "CT\r", "T\r", "TL\r", "S05\r", "RefreshMail",
                              "RefreshSMS", "RefreshPlan", "RefreshSet"};
    for (const char *c : commands)
        EXPECT_EQ(command(other, c, 10), 12) << c;
    command(other, "T\r", 69);
    command(other, "T\r", 70);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find("from 10.0.0.2 refused (1 since"), std::string::npos) << out;
    EXPECT_NE(out.find("refused (10 since"), std::string::npos) << out;
    EXPECT_EQ(command(other, "nonsense", 71), 11) << "what is no command stays a wrong one";
}

// Garbage is one line a minute whichever peer sends it, the count of what
// it stands for on the next one: rotating sources make no more lines.
TEST(Server, WrongCommandsAreOneLineAMinute)
{
    TempProgramDir dir; // the throttle is the process's: after the times of the tests above
    ServerPeer a = {0x7f000001, true, {}}, b = {0x0a000003, true, {}};
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1000; i++)
        EXPECT_EQ(command(a, "garbage", 200 + i * 0.01), 11);
    command(b, "noise", 205);
    for (uint32_t i = 0; i < 500; i++)
        command(ServerPeer{0x7f000000 + i, true, {}}, "rot", 206 + i * 0.01);
    command(b, "noise", 261);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find("unknown command \"garbage\" from 127.0.0.1 (1 since"), std::string::npos) << out;
    EXPECT_NE(out.find("unknown command \"noise\" from 10.0.0.3 (1501 since"), std::string::npos)
        << out;
}

// Who gets a new session: privileged peers the whole table, the others all
// but the reserve and SERVER_MAX_PER_ADDRESS each.
TEST(Server, AdmissionKeepsTheReserveForPrivilegedPeers)
{
    const int M = SERVER_MAX_SESSIONS, R = SERVER_LOOPBACK_RESERVE, P = SERVER_MAX_PER_ADDRESS;
    struct Row {
        int open, held;
        bool privileged, taken;
    } rows[] = {
        {0, 0, false, true},          {0, P - 1, false, true},      {0, P, false, false},
        {0, P, true, true},           {M - R - 1, 0, false, true},  {M - R, 0, false, false},
        {M - R, P + 50, true, true},  {M - 1, 0, true, true},       {M, 0, true, false},
    };
    for (const Row &r : rows)
        EXPECT_EQ(server_refusal(r.open, r.held, r.privileged) == nullptr, r.taken)
            << r.open << " open, " << r.held << " held, privileged " << r.privileged;
    // No socket: nobody known owns it, so not even loopback is privileged.
    EXPECT_FALSE(server_peer_privileged(-1, 0x7f000001, nullptr));
    EXPECT_FALSE(server_peer_privileged(-1, 0x0a000001, nullptr));
    // Local uids are peers of their own; an unknown owner is loopback's.
    PeerOwner unknown, ann{true, 1000, ""}, bob{true, 1001, ""};
    EXPECT_EQ(server_local_peer_key(unknown), access_peer_key(0x7f000001));
    EXPECT_NE(server_local_peer_key(ann), server_local_peer_key(bob));
    EXPECT_NE(server_local_peer_key(ann), access_peer_key(0x7f000001));
    EXPECT_EQ(server_local_peer_key(ann) >> 24, 127u);
}

// A session is closed when it sent nothing for the idle limit, and when it
// sent bytes but no whole request for SERVER_REQUEST_SECONDS, however often
// the bytes come.
TEST(Server, TricklingAndIdleSessionsAreClosed)
{
    struct Row {
        double input, request; // seconds ago: the last bytes, the last whole request
        bool over;
    } rows[] = {
        {0, 0, false},
        {59.9, 59.9, false},
        {60, 60, true},   // idle
        {5, 59.9, false},
        {5, 60, true},    // a byte every 5 s, no request for a minute
        {0, 61, true},
        {60, 0, true},    // idle after a request (cannot happen, but is closed)
    };
    double now = 5000;
    for (const Row &r : rows)
        EXPECT_EQ(server_session_over(now, now - r.input, now - r.request) != nullptr, r.over)
            << r.input << " " << r.request;
}

// A peer may start TLS_HANDSHAKES_PER_MINUTE handshakes a minute; another
// peer is not held up, and the table of peers stays bounded.
TEST(Server, HandshakesAreLimitedPerPeer)
{
    double t = 7000;
    for (int i = 0; i < TLS_HANDSHAKES_PER_MINUTE; i++)
        EXPECT_TRUE(tls_handshake_allowed(0x7f000000, t + i * 0.1)) << i;
    EXPECT_FALSE(tls_handshake_allowed(0x7f000000, t + 10));
    EXPECT_TRUE(tls_handshake_allowed(0x0a000001, t + 10));
    EXPECT_FALSE(tls_handshake_allowed(0x7f000000, t + 59.9));
    EXPECT_TRUE(tls_handshake_allowed(0x7f000000, t + 60)) << "a new minute";
    for (uint32_t peer = 1; peer < 5000; peer++)
        tls_handshake_allowed(0x0b000000 + peer, t + 61);
    EXPECT_TRUE(tls_handshake_allowed(0x0a000001, t + 62)) << "forgotten, so a new minute";
}

// The server on a clock of the test's own, real sockets for its clients.
struct FakeClock {
    LoopTime t;
};

LoopTime fake_time(void *ctx)
{
    return static_cast<FakeClock *>(ctx)->t;
}

bool privileged_peers = true; // what the test's hook says of every peer

bool test_privileged(int, uint32_t, void *)
{
    return privileged_peers;
}

// A client socket from `source` (host byte order) to 127.0.0.1:`port`; -1
// when it cannot connect.
int dial(int port, uint32_t source)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(source);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return close(fd), -1;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(0x7f000001);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS)
        return close(fd), -1;
    return fd;
}

// True once the server has closed `fd` (what it sent is read and dropped).
bool ended(int fd)
{
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return true;
        if (n < 0)
            return false;
    }
}

// Four clients on a minute and more of the server's time: the ones that
// trickle a byte every 5 s without a whole request are closed at the
// minute on both ports, the ones that send a whole request as often stay.
// Then the per-peer limit with the hook saying "not privileged": all of
// 127.0.0.0/8 is one peer.
TEST(Server, TricklersAreClosedAndLoopbackIsOnePeerOnAFakeClock)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    static MachineContext units[4];
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_LOCAL_SINGLE, i + 1);
    FakeClock clock{{100000.0, time(nullptr)}};
    Loop *loop = loop_new(fake_time, &clock);
    ASSERT_NE(loop, nullptr);
    ServerHooks hooks;
    hooks.peer_privileged = test_privileged;
    testing::internal::CaptureStdout();
    server_start(loop, ServerPorts{0, 0}, units, hooks);
    int records = server_bound_port(0), mgmt = server_bound_port(1);
    ASSERT_GT(records, 0);
    ASSERT_GT(mgmt, 0);
    auto turn = [&](double seconds) {
        clock.t.mono += seconds;
        for (int i = 0; i < 3; i++)
            loop_run_once(loop, 5);
    };
    struct Client {
        int fd;
        const char *bytes; // sent every 5 s
        bool closed_at_the_minute;
    } clients[] = {
        {dial(records, 0x7f000001), "A", true},
        {dial(records, 0x7f000001), "ALL\x01", false},
        {dial(mgmt, 0x7f000001), "V", true},
        {dial(mgmt, 0x7f000001), "VER\n", false},
    };
    turn(0);
    std::string wrong; // the first surprise, told once the output is no longer captured
    for (int second = 1; second <= 120 && wrong.empty(); second++) {
        turn(1);
        for (const Client &c : clients) {
            bool gone = ended(c.fd);
            bool expected = c.closed_at_the_minute && second >= SERVER_REQUEST_SECONDS + 1;
            if ((second < SERVER_REQUEST_SECONDS || second > SERVER_REQUEST_SECONDS + 1) &&
                gone != expected && wrong.empty())
                wrong = std::string(c.bytes) + (gone ? " closed" : " open") + " at " +
                        std::to_string(second);
            if (!gone && second % 5 == 0)
                send(c.fd, c.bytes, strlen(c.bytes), MSG_NOSIGNAL);
        }
    }
    for (const Client &c : clients)
        close(c.fd);
    turn(0);

    privileged_peers = false;
    std::vector<int> fds;
    for (uint32_t i = 0; i < SERVER_MAX_PER_ADDRESS + 1; i++)
        fds.push_back(dial(records, 0x7f000002 + i));
    turn(0);
    std::vector<bool> refused; // by source 127.0.0.2, .3, ...
    for (int fd : fds)
        refused.push_back(ended(fd));
    privileged_peers = true;
    int root = dial(records, 0x7f000001);
    turn(0);
    bool root_stays = !ended(root);
    close(root);
    for (int fd : fds)
        close(fd);
    server_stop();
    loop_free(loop);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(wrong, "");
    std::vector<bool> expected_refused(SERVER_MAX_PER_ADDRESS, false);
    expected_refused.push_back(true); // the seventeenth of 127.0.0.0/8
    EXPECT_EQ(refused, expected_refused) << out;
    EXPECT_TRUE(root_stays) << "a privileged peer is not counted with them";
    EXPECT_NE(out.find("it holds the most sessions one peer may"), std::string::npos) << out;
}

} // namespace
