// The daemon's loop on a clock of the test's own: a UPS on a pseudo-terminal
// that the test answers, real sockets for the clients, and minutes of the
// daemon's time in well under a second of the test's.
#include "agent/agent.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/decision.h"
#include "base/loop.h"
#include "tests/spawn_recorder.h"
#include "tests/host_standin.h"
#include "tests/tempdir.h"

namespace {

struct FakeClock {
    LoopTime t;
};

LoopTime fake_time(void *ctx)
{
    return static_cast<FakeClock *>(ctx)->t;
}

// A UPS that answers the daemon's queries on the master side of a
// pseudo-terminal, and keeps every request it was sent.
struct TestUps {
    int master = -1;
    int watch = -1; // the slave side, only polled: the reply has reached the line
    std::string slave;
    std::string pending;
    std::vector<std::pair<std::string, time_t>> requests; // with the daemon's time
    bool mains_failed = false;
    bool counting_down = false; // a turn-off was taken (status b1)

    TestUps()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
        watch = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    ~TestUps()
    {
        close(watch);
        close(master);
    }
    void answer(const std::string &text)
    {
        ASSERT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        struct pollfd p = {watch, POLLIN, 0};
        poll(&p, 1, 2000); // the bytes are on the line before the daemon's next pass
    }
    void serve(time_t now)
    {
        char buf[256];
        ssize_t n;
        while ((n = read(master, buf, sizeof buf)) > 0)
            pending.append(buf, n);
        size_t end;
        while ((end = pending.find('\r')) != std::string::npos) {
            std::string request = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            requests.push_back({request, now});
            if (request[0] == 'S')
                counting_down = true;
            else if (request == "C\r")
                counting_down = false;
            if (request == "Q1\r")
                answer(std::string("(230.0 230.0 230.0 025 50.0 2.25 30.0 ") +
                       (mains_failed ? "1" : "0") + "00000" + (counting_down ? "1" : "0") +
                       "0\r");
            else if (request == "I\r")
                answer("#      SIMULATED   SIM-1001        1.0\r");
            else if (request == "F\r")
                answer("#230.0 004 048.0 50.0\r");
        }
    }
    bool got(const std::string &request) const
    {
        for (const auto &r : requests)
            if (r.first == request)
                return true;
        return false;
    }
};

std::vector<std::string> shutdown_calls()
{
    std::vector<std::string> calls;
    for (const auto &argv : host_standin_calls())
        if (!argv.empty() && argv[0] == "shutdown")
            calls.push_back(argv.size() > 2 ? argv[1] + " " + argv[2] : argv[1]);
    return calls;
}

int client_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    return fd;
}

// Whether the server closed `fd`: what it sent (a record) is read away.
bool closed_by_server(int fd)
{
    char buf[512];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, 0) == 1) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
    }
    return false;
}

void write_settings(const std::string &dir, const std::string &device, int ac_fail)
{
    std::ofstream(dir + "Set/Setting.ang")
        << "Local-Single\nRS232\n" << device << "\n\n" << ac_fail << "\n1\n2\n1\n2400\n";
}

// A mains failure and its return, a reload, an idle client and a schedule
// entry due: the daemon's minutes driven by its clock seam.
TEST(AgentLoop, AMainsFailureAReloadAnIdleClientAndTheScheduleOnAFakeClock)
{
    auto started = std::chrono::steady_clock::now();
    TempProgramDir dir;
    std::filesystem::create_directories(dir.path + "Set");
    std::filesystem::create_directories(dir.path + "DataBase");
    SpawnRecorder recorder;
    TestUps ups;
    ASSERT_GE(ups.watch, 0);
    write_settings(dir.path, ups.slave, 1);
    FakeClock clock{{1000.0, time(nullptr)}};
    // A quick test three minutes on, at the start of that minute.
    time_t due = (clock.t.wall / 60 + 3) * 60;
    struct tm t;
    localtime_r(&due, &t);
    char entry[80];
    snprintf(entry, sizeof entry, "%04d %d %04d/%02d/%02d %02d:%02d %s %c %25s\n", 1,
             (t.tm_wday + 1) % 7, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
             "T    ", 'O', "");
    std::ofstream(dir.path + "DataBase/Schedule.ang") << entry;

    Loop *loop = loop_new(fake_time, &clock);
    ASSERT_NE(loop, nullptr);
    AgentOptions options;
    options.ports = {0, 0};
    options.worker = false; // the writes and the host's calls at once: a run that repeats
    ASSERT_TRUE(agent_start((dir.path + "upsagent").c_str(), loop, options));
    int port = server_bound_port(0);
    ASSERT_GT(port, 0);
    auto step = [&](int passes) {
        for (int i = 0; i < passes; i++) {
            clock.t.mono += 0.5;
            if (static_cast<long>(clock.t.mono * 2) % 2 == 0)
                clock.t.wall += 1;
            loop_run_once(loop, 0);
            ups.serve(clock.t.wall);
        }
    };
    auto step_until = [&](auto done, int limit) {
        for (int i = 0; i < limit && !done(); i++)
            step(1);
        return done();
    };

    // The unit answers and is asked for its identity and ratings once.
    step(10);
    EXPECT_TRUE(ups.got("I\r") && ups.got("F\r"));
    EXPECT_EQ(agent_unit(0)->connected, 1);

    // Mains failure: the host goes down in a minute, the UPS two after it.
    ups.mains_failed = true;
    ASSERT_TRUE(step_until([] { return !shutdown_calls().empty(); }, 20));
    EXPECT_EQ(shutdown_calls(), std::vector<std::string>{"-h +1"});
    ASSERT_TRUE(step_until([&] { return ups.got("S03R0001\r"); }, 10));
    // The mains returns: both are cancelled once it held for 30 s.
    ups.mains_failed = false;
    time_t back = clock.t.wall;
    ASSERT_TRUE(step_until([&] { return ups.got("C\r"); }, 100));
    EXPECT_GE(clock.t.wall - back, DECISION_RETURN_HOLD) << "the return hold time";
    EXPECT_EQ(shutdown_calls(), (std::vector<std::string>{"-h +1", "-c Cancel shut down command"}));

    // A reload asked for by a client takes the new delay.
    write_settings(dir.path, ups.slave, 5);
    int client = client_to(port);
    ASSERT_EQ(send(client, "RefreshSet", 10, 0), 10);
    ASSERT_TRUE(step_until([] { return decision_delays().ac_fail == 5; }, 4));

    // The client says nothing more: closed after the idle limit, not before;
    // one that asks every 10 s stays.
    double quiet_since = clock.t.mono;
    int asking = client_to(port);
    auto ask = [&] {
        if (static_cast<long>(clock.t.mono - quiet_since) % 10 == 0)
            send(asking, "ALL\x01", 5, MSG_NOSIGNAL);
        return closed_by_server(client);
    };
    ASSERT_TRUE(step_until(ask, 2 * (SERVER_IDLE_SECONDS + 3)));
    EXPECT_GE(clock.t.mono - quiet_since, SERVER_IDLE_SECONDS - 1.0);
    for (int i = 0; i < 2 * 30; i++) {
        ask();
        step(1);
    }
    EXPECT_FALSE(closed_by_server(asking)) << "a client that asks is never idle";
    close(asking);
    close(client);

    // The schedule's quick test goes out in its minute.
    ASSERT_TRUE(step_until([&] { return ups.got("T\r"); }, 2 * 4 * 60));
    for (const auto &r : ups.requests)
        if (r.first == "T\r") {
            EXPECT_GE(r.second, due);
            EXPECT_LT(r.second, due + 60);
        }

    agent_stop();
    loop_free(loop);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(took, 30.0) << "minutes of the daemon's time, run by its clock seam";
    RecordProperty("seconds", std::to_string(took));
}

} // namespace
