#include "agent/decision.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <filesystem>
#include <random>
#include <string>

#include "agent/host.h"
#include "base/loop.h"
#include "base/worker.h"
#include "protocol/ups_command.h"
#include "store/paths.h"
#include "store/textfile.h"
#include "tests/host_standin.h"
#include "tests/tempdir.h"

namespace {

const char *const BOOT = "decision-test-boot";

// The platform as systemd keeps it: one pending host shutdown, in its file
// ("USEC=..."), replaced by a "-h +N" and removed by "-c". Calls can be
// made to fail; an operator can cancel or move it behind the daemon's back.
struct Platform {
    std::string dir;       // holds "system/" (the platform shows) and "scheduled"
    const time_t *clock = nullptr; // the test's time
    time_t pending = 0;    // 0 none
    int fail_next = 0;     // calls still to fail
    int calls = 0;         // every call, failed ones too
    int cancels = 0;       // "-c" calls that worked
    int schedules = 0;     // "-h" calls that worked

    void write()
    {
        std::string file = dir + "scheduled";
        if (!pending) {
            unlink(file.c_str());
            return;
        }
        char text_buf[96];
        snprintf(text_buf, sizeof text_buf, "USEC=%lld\nWARN_WALL=1\nMODE=poweroff\n",
                 static_cast<long long>(pending) * 1000000);
        std::string text = text_buf;
        ASSERT_TRUE(write_file(file, text.data(), static_cast<int>(text.size()), 0644));
    }
    void set(time_t when)
    {
        pending = when;
        write();
    }
};

Platform *platform = nullptr;

HostCallResult platform_run(const std::vector<std::string> &argv)
{
    platform->calls++;
    if (platform->fail_next > 0) {
        platform->fail_next--;
        return {false, "exit status 1"};
    }
    if (argv.size() >= 2 && argv[1] == "-c") {
        platform->cancels++;
        platform->set(0);
    } else if (argv.size() >= 3 && argv[1] == "-h" && argv[2][0] == '+') {
        platform->schedules++;
        platform->set(*platform->clock + std::stoi(argv[2].substr(1)) * 60);
        // A daemon killed now must find this deadline in its file: the
        // platform counts whole minutes from the call, so it may come up
        // to a minute before the file's (or the call's grace after it).
        char state[512];
        int n = read_file(database_path("Shutdown.ang"), state, sizeof state - 1);
        std::string text = n > 0 ? std::string(state, n) : "none";
        size_t at = text.find("\nhost ");
        long long host = at == std::string::npos ? 0 : std::atoll(text.c_str() + at + 6);
        EXPECT_TRUE(host && platform->pending - host <= HOST_CALL_GRACE &&
                    host - platform->pending < 60)
            << "the state file before the call: " << text;
    } else {
        ADD_FAILURE() << "an unknown call";
    }
    return {true, ""};
}

// The platform and the UPS as the daemon's commands leave them: the
// platform's pending host shutdown, and one UPS turn-off ("SnnR0001"
// replaces it, "C" clears it). Every command must be one of the UPS command
// language; a UPS that ignores commands keeps its b1 as it was.
struct World {
    MachineContext unit1{};
    Platform platform;
    time_t host = 0;       // pending host shutdown; 0 none
    time_t ups = 0;        // the UPS turn-off commanded; 0 none
    bool b1 = false;       // what the UPS shows: a turn-off counts down
    bool ignoring = false; // the UPS ignores the commands
    int ups_commands = 0;  // every UPS command seen
    int cancels = 0;       // "C" among them
    int controls = 0;      // turn-offs and cancels among them
    std::string last_ups;  // the last of them

    void reset()
    {
        machine_setup(&unit1, KIND_LOCAL_MULTIPLE, 1);
        platform.set(0);
        platform.calls = platform.cancels = platform.schedules = platform.fail_next = 0;
        host = ups = 0;
        b1 = ignoring = false;
        ups_commands = cancels = controls = 0;
        last_ups.clear();
    }

    int host_commands() const { return platform.calls; }

    // Takes the commands given since the last call, at `now`.
    void take(time_t now)
    {
        host = platform.pending;
        std::string cmd;
        while (machine_take_pending(&unit1, &cmd)) { // the queue goes out
            UpsCommand c;
            ASSERT_TRUE(ups_command_parse(cmd, &c)) << cmd;
            ups_commands++;
            last_ups = cmd;
            if (ups_command_is_test(c))
                continue;
            ASSERT_TRUE(ups_command_is_control(c)) << cmd;
            bool cancel = c.kind == UPS_COMMAND_SHUTDOWN_CANCEL;
            cancels += cancel;
            controls++;
            ups = cancel ? 0 : now + c.minutes * 60;
            if (!ignoring)
                b1 = !cancel;
        }
    }
};

class Decision : public ::testing::Test {
protected:
    void SetUp() override
    {
        world.platform.dir = dir.path + "run/";
        world.platform.clock = &now;
        std::filesystem::create_directories(world.platform.dir + "system");
        platform = &world.platform;
        host_set_runner(platform_run);
        host_set_platform(world.platform.dir + "system", world.platform.dir + "scheduled");
        machine_setup(&world.unit1, KIND_LOCAL_MULTIPLE, 1);
        decision_init(&world.unit1);
        decision_set_return_hold(0);
        decision_start(BOOT);
    }
    void TearDown() override
    {
        decision_init(nullptr);
        decision_set_reporter(nullptr);
        decision_set_return_hold(DECISION_RETURN_HOLD);
        host_standin_install();
        platform = nullptr;
    }

    void start(DecisionDelays d, bool ups_commands = true)
    {
        decision_configure(d, ups_commands);
        decision_watch(4);
    }
    void see(int unit, bool mains, bool battery, bool lost = false)
    {
        decision_observe(now, unit, {true, lost, mains, battery, unit == 0 && world.b1});
        world.take(now);
    }
    void tick(int seconds)
    {
        for (int i = 0; i < seconds; i++) {
            now += 1;
            decision_tick(now);
            world.take(now);
        }
    }

    TempProgramDir dir;
    World world;
    time_t now = 1700000000;
};

// The Part's single sequences, one row each: what the first sighting of a
// condition starts.
TEST_F(Decision, FirstConditionTable)
{
    struct Row {
        DecisionDelays delays;
        bool ups_commands, mains, battery;
        int host_minutes; // -1 none
        int ups_minutes;  // -1 none
    } rows[] = {
        {{10, 1, 2}, true, true, false, 10, 12},
        {{10, 1, 2}, true, false, true, 1, 3},
        {{10, 1, 2}, true, true, true, 1, 3},     // both in one check: one of each
        {{0, 1, 2}, true, true, false, -1, -1},   // no host shutdown: no UPS turn-off either
        {{10, 1, 0}, true, true, false, 10, -1},  // no UPS command on a mains failure
        {{10, 1, 0}, true, false, true, 1, 2},    // a low battery: the UPS a minute after the host
        {{10, 0, 2}, true, false, true, -1, -1},  // low battery not acted on
        {{99, 1, 99}, true, true, false, 99, -1}, // 198 minutes: held back, see below
        {{10, 1, 2}, false, true, true, 1, -1},   // a remote daemon: its own host only
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.delays.ac_fail << "/" << r.delays.battery_low << "/"
                                        << r.delays.ups_shutdown << " mains " << r.mains
                                        << " battery " << r.battery);
        world.reset();
        decision_init(&world.unit1);
        decision_start(BOOT);
        start(r.delays, r.ups_commands);
        see(0, r.mains, r.battery);
        EXPECT_EQ(world.host, r.host_minutes < 0 ? 0 : now + r.host_minutes * 60);
        EXPECT_EQ(world.ups, r.ups_minutes < 0 ? 0 : now + r.ups_minutes * 60);
        EXPECT_EQ(world.host_commands(), r.host_minutes < 0 ? 0 : 1);
        EXPECT_EQ(world.ups_commands, r.ups_minutes < 0 ? 0 : 1);
        see(0, false, false);
        EXPECT_EQ(world.host, 0);
        EXPECT_EQ(world.ups, 0);
    }
}

// A turn-off further away than the longest delay the UPS command can say
// is not cut short to it (the UPS would turn off before the host is down):
// it is queued the moment it comes within reach.
TEST_F(Decision, TurnOffBeyondTheCommandsReachIsQueuedOnceInReach)
{
    start({99, 1, 99});
    see(0, true, false);
    EXPECT_EQ(world.host, now + 99 * 60);
    EXPECT_EQ(world.ups_commands, 0) << "198 minutes away";
    now += 30;
    see(1, false, true); // +1 for the host; the UPS at host + 99 minutes
    EXPECT_EQ(world.host, now + 60);
    EXPECT_EQ(world.ups_commands, 0) << "100 minutes away";
    time_t ups_at = now + 100 * 60;
    for (int i = 0; i < 120 && world.ups_commands == 0; i++) {
        now += 1;
        decision_tick(now);
        world.take(now);
    }
    EXPECT_EQ(world.last_ups, "S99R0001\r");
    EXPECT_EQ(world.ups, ups_at) << "queued when 99 minutes were left, not earlier";
    EXPECT_EQ(decision_state().ups_deadline, ups_at);
    decision_tick(now + 1);
    world.take(now + 1);
    EXPECT_EQ(world.ups_commands, 1) << "once";
}

// Clients' commands neither displace the decision's nor keep it out: with
// the ordinary lane full, the turn-off and then its cancel still go out,
// each before anything a client queued.
TEST_F(Decision, ClientCommandsNeverDisplaceTheDecisions)
{
    start({10, 1, 2});
    for (int i = 0; i < MACHINE_QUEUE_DEPTH; i++)
        ASSERT_EQ(machine_queue_command(&world.unit1, "T\r", 2), 1);
    decision_observe(now, 0, {true, false, true, false, false});
    std::string first;
    ASSERT_TRUE(machine_take_pending(&world.unit1, &first));
    EXPECT_EQ(first, "S12R0001\r");
    decision_observe(now, 0, {true, false, false, false, true});
    ASSERT_TRUE(machine_take_pending(&world.unit1, &first));
    EXPECT_EQ(first, "C\r");
    EXPECT_EQ(machine_queued(&world.unit1).size(), static_cast<size_t>(MACHINE_QUEUE_DEPTH))
        << "the clients' commands all wait their turn";
}

// The operator's way to stop a condition's shutdown on purpose: the delays
// of the conditions that hold set to 0. A reload that changes nothing, or
// leaves a held condition with a delay, keeps the shutdown.
TEST_F(Decision, DelaysSetTo0StopTheShutdownOfTheConditionsThatHold)
{
    start({0, 1, 2});
    see(0, true, true); // battery low starts it, the mains keeps it
    see(0, true, false);
    EXPECT_EQ(world.host, now + 60);
    start({0, 1, 2}); // a reload that changes nothing
    tick(1);
    EXPECT_NE(world.host, 0) << "a low battery's shutdown, kept by the mains failure";
    start({0, 0, 2});
    tick(1);
    EXPECT_EQ(world.host, 0);
    EXPECT_EQ(world.last_ups, "C\r");
    EXPECT_TRUE(decision_holds(0, DECISION_MAINS)) << "the condition still holds";
    start({10, 1, 2});
    tick(5);
    see(0, true, false);
    EXPECT_EQ(world.host, 0) << "a delay applies to conditions that start later";
}

TEST_F(Decision, DelaysAreClampedWithOneLineEach)
{
    SettingsRecord s{};
    s.ac_fail_delay = -3;
    s.battery_low_delay = 5;
    s.ups_shutdown_delay = 150;
    testing::internal::CaptureStdout();
    DecisionDelays d = decision_delays_from(s);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(d.ac_fail, 0);
    EXPECT_EQ(d.battery_low, 5);
    EXPECT_EQ(d.ups_shutdown, 99);
    EXPECT_EQ(out, "upsagent: mains failure delay of -3 minutes is outside 0..99, using 0\n"
                   "upsagent: UPS shutdown delay of 150 minutes is outside 0..99, using 99\n");
}

TEST_F(Decision, AStateOfAnotherBootIsDiscarded)
{
    start({10, 1, 2});
    see(0, true, false);
    EXPECT_TRUE(decision_start(BOOT));
    EXPECT_TRUE(decision_holds(0, DECISION_MAINS));
    EXPECT_FALSE(decision_start("another-boot"));
    EXPECT_FALSE(decision_holds(0, DECISION_MAINS));
    EXPECT_FALSE(decision_start(BOOT)) << "the file was replaced";
}

// No delay puts a deadline further than two maximal delays after the moment
// the file was written: such a file is damaged (found by fuzzing: minutes far
// beyond an int overflowed when the UPS command was made of them).
TEST_F(Decision, AStateWithADeadlineNoDelayGivesIsDiscarded)
{
    start({10, 1, 2});
    time_t written = time(nullptr);
    now = written; // the file's times are the real clock's
    struct Case {
        long long host, ups;
        bool taken;
    } cases[] = {
        {written + 99 * 60, written + 198 * 60, true},
        {0, written + 2 * DECISION_DELAY_MAX * 60 + 61, false},
        {0, 170096717520LL, false},
        {9223372036854775807LL, 0, false},
    };
    for (const Case &c : cases) {
        char text[256];
        int n = snprintf(text, sizeof text, "boot %s\nhost %lld\nups %lld\nheld 10000000\n", BOOT,
                         c.host, c.ups);
        ensure_database_dir();
        ASSERT_TRUE(write_file(database_path("Shutdown.ang"), text, n, 0600));
        // The reach is counted from the file's time; pin it, or a second
        // passing since `written` moves the edge case inside the reach.
        struct timespec times[2] = {{written, 0}, {written, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, database_path("Shutdown.ang").c_str(), times, 0), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(decision_start(BOOT), c.taken) << text;
        testing::internal::GetCapturedStdout();
        if (!c.taken) {
            char kept[1024] = "";
            read_file(database_path("Shutdown.ang"), kept, sizeof kept - 1);
            EXPECT_EQ(std::string(kept), std::string("boot ") + BOOT +
                                             "\nhost 0\nups 0\nheld 00000000\n")
                << "replaced by this boot's empty state";
        }
        now = written;
        see(0, true, false);
        now = written + 60;
        decision_tick(now);
        world.take(now);
    }
}

// A restart during an outage keeps the deadline: where the platform shows
// it holds the shutdown, nothing is called; where it shows nothing, the
// minutes left are issued again when they are whole.
TEST_F(Decision, RestartKeepsTheDeadline)
{
    for (bool shows : {true, false}) {
        SCOPED_TRACE(shows ? "the platform shows" : "the platform shows nothing");
        world.reset();
        if (!shows)
            std::filesystem::remove_all(world.platform.dir + "system");
        decision_start("an earlier boot");
        decision_start(BOOT);
        start({10, 1, 2});
        see(0, true, false);
        time_t host = world.host, ups = world.ups;
        now += 200; // 6 min 40 s left
        decision_start(BOOT);
        start({10, 1, 2});
        machine_setup(&world.unit1, KIND_LOCAL_MULTIPLE, 1);
        decision_observe(now, 0, {false, false, false, false, false}); // not yet taken: nothing
        see(0, true, false);
        tick(40);
        EXPECT_EQ(world.host_commands(), shows ? 1 : 2);
        EXPECT_LE(world.host, host);
        EXPECT_GE(world.host, host - DECISION_ALIGN_SECONDS);
        // The UPS keeps its distance, or a little more (whole minutes from
        // the restart, rounded up: never before the host is down).
        EXPECT_GE(world.ups - world.host, ups - host);
        EXPECT_LT(world.ups - world.host, ups - host + 60);
        std::filesystem::create_directories(world.platform.dir + "system");
        see(0, false, false);
    }
}

// The host's shutdown is a closed loop with the platform: a failed call is
// reported and tried again; a pending shutdown that vanishes or moves later
// is issued again with the minutes left; a start without a usable state
// adopts the platform's pending shutdown rather than a later one.
TEST_F(Decision, TheHostShutdownIsKeptAsThePlatformShowsIt)
{
    static std::vector<std::pair<bool, time_t>> reports;
    reports.clear();
    host_set_reporter([](bool failed, time_t when) { reports.push_back({failed, when}); });
    start({10, 1, 2});
    world.platform.fail_next = 1;
    see(0, true, false);
    EXPECT_EQ(world.host, 0) << "the first call failed";
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].first);
    time_t first = now;
    tick(HOST_RETRY_SECONDS);
    EXPECT_EQ(world.host, first + HOST_RETRY_SECONDS + 9 * 60)
        << "tried again 30 s later, the whole minutes left";
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[1].first) << "works again";

    time_t deadline = world.host;
    world.platform.set(0); // an operator's "shutdown -c"
    tick(HOST_CHECK_SECONDS);
    EXPECT_GT(world.host, 0) << "issued again";
    EXPECT_LE(world.host, deadline);
    deadline = world.host;
    world.platform.set(deadline + 600); // moved later behind the daemon's back
    tick(HOST_CHECK_SECONDS);
    EXPECT_LE(world.host, deadline);

    // The state file lost, then a restart: the platform's deadline stands.
    unlink(database_path("Shutdown.ang").c_str());
    int calls = world.host_commands();
    decision_start(BOOT);
    start({10, 1, 2});
    see(0, true, false);
    EXPECT_EQ(world.host, deadline);
    EXPECT_EQ(world.host_commands(), calls) << "adopted, not replaced by a later +10";
    host_set_reporter(nullptr);
}

// Every source of a turn-off or a cancel goes through the decision: a
// turn-off is a planned shutdown (the host at once, the UPS after it with
// the command's restore), a cancel is refused while a condition holds and
// ends a planned shutdown otherwise; tests pass unchanged.
TEST_F(Decision, CommandsFromOtherSourcesTable)
{
    struct Row {
        bool outage;         // a mains failure holds first
        const char *command; // from a client
        DecisionVerdict verdict;
        int host_minutes;    // -1 none pending afterwards
        const char *ups;     // the last UPS command afterwards
    } rows[] = {
        {false, "T\r", DECISION_PASS, -1, ""},
        {false, "S02\r", DECISION_TAKEN, 0, "S02\r"},
        {false, "S02R0480\r", DECISION_TAKEN, 0, "S02R0480\r"},
        {false, "S.5\r", DECISION_TAKEN, 0, "S02\r"},  // never before the UPS delay
        {false, "S05R0001\r", DECISION_TAKEN, 0, "S05R0001\r"},
        {true, "C\r", DECISION_REFUSED, 10, "S12R0001\r"},
        {true, "S02\r", DECISION_TAKEN, 0, "S02\r"},
        {false, "C\r", DECISION_TAKEN, -1, "C\r"}, // nothing under way: to the UPS
    };
    static std::string reports;
    decision_set_reporter([](int, int code, char state, time_t) {
        reports += std::to_string(code) + state + " ";
    });
    for (const Row &r : rows) {
        SCOPED_TRACE(r.command);
        reports.clear();
        world.reset();
        decision_start("an earlier boot");
        decision_start(BOOT);
        start({10, 1, 2});
        if (r.outage)
            see(0, true, false);
        UpsCommand c;
        ASSERT_TRUE(ups_command_parse(r.command, &c));
        EXPECT_EQ(decision_command(now, c, "a test"), r.verdict);
        world.take(now);
        EXPECT_EQ(world.host, r.host_minutes < 0 ? 0 : now + r.host_minutes * 60);
        EXPECT_EQ(world.last_ups, r.ups);
        if (r.verdict == DECISION_TAKEN && r.host_minutes == 0) {
            // A planned shutdown stands through the mains' return, and a
            // cancel ends it.
            see(0, false, false);
            EXPECT_EQ(world.platform.cancels, 0);
            ASSERT_TRUE(ups_command_parse("C\r", &c));
            EXPECT_EQ(decision_command(now, c, "a test"), DECISION_TAKEN);
            world.take(now);
            EXPECT_EQ(world.host, 0);
            EXPECT_EQ(world.last_ups, "C\r");
            EXPECT_EQ(reports, "111 110 ") << "the event log and the notices say so";
        } else {
            EXPECT_EQ(reports, "");
        }
    }
}

// The UPS is watched: a cancel it does not show is sent again at most three
// times, then reported; a turn-off it does not show is sent again with the
// minutes left.
TEST_F(Decision, CommandsTheUpsIgnoresAreSentAgainThenReported)
{
    static std::vector<char> reports;
    reports.clear();
    decision_set_reporter([](int, int code, char state, time_t) {
        if (code == 10)
            reports.push_back(state);
    });
    start({10, 1, 2});
    see(0, true, false);
    EXPECT_EQ(world.ups_commands, 1);
    world.ignoring = true;
    see(0, false, false); // the mains is back: "C", which the UPS ignores
    EXPECT_EQ(world.cancels, 1);
    for (int i = 0; i < 6 * DECISION_CONFIRM_CHECKS; i++) {
        now += 1;
        see(0, false, false);
    }
    EXPECT_EQ(world.cancels, 1 + DECISION_RESENDS);
    EXPECT_EQ(reports, std::vector<char>{'1'});
    EXPECT_TRUE(decision_state().ups_gave_up);

    // A turn-off it does not show: sent again with the minutes left.
    world.ignoring = false;
    world.b1 = false;
    see(0, true, false);
    int sent = world.ups_commands;
    world.ignoring = true;
    world.b1 = false;
    for (int i = 0; i < DECISION_CONFIRM_CHECKS; i++) {
        now += 15;
        see(0, true, false);
    }
    EXPECT_EQ(world.ups_commands, sent + 1);
    EXPECT_EQ(world.ups, decision_state().ups_deadline);
    world.ignoring = false;
    world.b1 = true; // it shows the turn-off at last
    now += 1;
    see(0, true, false);
    EXPECT_EQ(reports, (std::vector<char>{'1', '0'})) << "the UPS takes commands again";
}

// Random sequences on four units, checked after every step: status checks
// (flaps and duplicates included), commands from every source, failing
// calls, a platform whose pending shutdown vanishes or moves, reloads,
// restarts with the state kept, lost or damaged, a UPS that ignores
// commands.
TEST_F(Decision, RandomSequencesKeepTheInvariants)
{
    std::mt19937 rng(20261208);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const char *const commands_from_outside[] = {"T\r", "CT\r", "C\r", "S02\r", "S05R0480\r",
                                                 "S.5\r"};
    // A shutdown the platform lacks, or holds later than wanted, is put
    // right within a read-back and a retry.
    const int repair = HOST_CHECK_SECONDS + HOST_RETRY_SECONDS + 6;
    for (int sequence = 0; sequence < 600; sequence++) {
        DecisionDelays d = {pick(100), pick(100), pick(100)};
        if (pick(4) == 0)
            d.ac_fail = pick(3); // small delays make the deadlines meet more often
        if (pick(4) == 0)
            d.battery_low = pick(3);
        if (pick(4) == 0)
            d.ups_shutdown = pick(3);
        bool commands = pick(5) != 0;
        int hold = pick(3) == 0 ? 0 : 1 + pick(60);
        world.reset();
        decision_init(&world.unit1);
        decision_set_return_hold(hold);
        decision_start("an earlier boot"); // removes the last sequence's state
        decision_start(BOOT);
        start(d, commands);
        bool bits[4][2] = {};      // what the units show
        bool held[4][2] = {};      // the conditions as the decision must hold them
        time_t since[4][2] = {};   // when each started
        time_t clear_from[4][2] = {}; // its status first seen clear; 0 not clear
        bool planned = false;
        bool orphan = false;       // the platform or the UPS holds a shutdown a lost state forgot
        int orphan_commands = 0, orphan_calls = 0; // the UPS commands and calls by then
        time_t bad_since = 0;      // the platform lacks the shutdown wanted since then
        time_t last_trouble = 0;   // the last failure or operator's doing injected
        time_t wanted_before = 0;
        std::string trace;

        auto counts = [&](int k) { return k == DECISION_MAINS || d.battery_low > 0; };
        auto model_tick = [&] {
            for (int u = 0; u < 4; u++)
                for (int k = 0; k < 2; k++)
                    if (held[u][k] && clear_from[u][k] && now - clear_from[u][k] >= hold)
                        held[u][k] = false, clear_from[u][k] = 0;
        };
        auto observe = [&](int u, bool lost) {
            decision_observe(now, u, {true, lost, bits[u][0], bits[u][1], u == 0 && world.b1});
            for (int k = 0; k < 2; k++) {
                bool raw = bits[u][k] && counts(k);
                if (raw) {
                    if (!held[u][k])
                        held[u][k] = true, since[u][k] = now;
                    clear_from[u][k] = 0;
                } else if (held[u][k] && !clear_from[u][k]) {
                    clear_from[u][k] = counts(k) ? now : now - hold;
                }
            }
            model_tick();
        };
        auto forget = [&](bool state_lost) {
            memset(clear_from, 0, sizeof clear_from);
            if (state_lost) {
                memset(held, 0, sizeof held);
                planned = false;
                orphan = world.platform.pending != 0 || world.ups != 0;
                orphan_commands = world.controls;
                orphan_calls = world.platform.calls;
            }
        };

        for (int step = 0; step < 80; step++) {
            int unit = pick(4), c = pick(2);
            int cancels_before = world.platform.cancels + world.cancels;
            bool ours_before = decision_state().ups_told;
            bool cancel_allowed = false;
            switch (pick(14)) {
            case 0:
            case 1:
            case 2:
                bits[unit][c] = !bits[unit][c];
                [[fallthrough]];
            case 3: // a status check (again, when nothing changed: a duplicate)
                observe(unit, pick(6) == 0);
                trace += "see";
                trace += std::to_string(unit);
                trace += bits[unit][0] ? "M" : "m";
                trace += bits[unit][1] ? "B " : "b ";
                break;
            case 4: { // time passes, the units checked every few seconds
                int seconds = 1 + pick(90);
                for (int s = 0; s < seconds; s++) {
                    now += 1;
                    if (s % 3 == 0)
                        observe(s / 3 % 4, false);
                    decision_tick(now);
                    model_tick();
                }
                trace += "t";
                trace += std::to_string(seconds);
                trace += " ";
                break;
            }
            case 5: // "RefreshSet"
                start(d, commands);
                trace += "reload ";
                break;
            case 6: // a restart: new process state, the unit 1 lane empty
            case 7: { // one that finds the state file gone or cut short
                bool lost = pick(2) == 0 && step % 2 == 0;
                if (lost) {
                    std::string path = database_path("Shutdown.ang");
                    if (pick(2))
                        unlink(path.c_str());
                    else
                        truncate(path.c_str(), 9);
                }
                decision_start(BOOT);
                start(d, commands);
                machine_setup(&world.unit1, KIND_LOCAL_MULTIPLE, 1);
                forget(lost);
                trace += lost ? "restart-lost " : "restart ";
                break;
            }
            case 8: { // a command from a client or the schedule
                const char *text = commands_from_outside[pick(6)];
                UpsCommand command;
                ASSERT_TRUE(ups_command_parse(text, &command));
                bool nothing_held = true;
                for (int u = 0; u < 4; u++)
                    nothing_held = nothing_held && !held[u][0] && !held[u][1];
                DecisionVerdict v = decision_command(now, command, "a client");
                if (command.kind == UPS_COMMAND_SHUTDOWN_CANCEL) {
                    ASSERT_EQ(v == DECISION_REFUSED, !nothing_held) << trace;
                    if (v != DECISION_REFUSED) {
                        cancel_allowed = true;
                        planned = false;
                    }
                } else if (!ups_command_is_test(command)) {
                    planned = true;
                }
                if (v == DECISION_PASS && commands)
                    machine_queue_command(&world.unit1, text, static_cast<int>(strlen(text)));
                trace += std::string("cmd") + text + " ";
                trace.pop_back();
                trace.back() = ' ';
                break;
            }
            case 9: // the next call fails
                if (now - last_trouble > repair) {
                    world.platform.fail_next = 1;
                    last_trouble = now;
                    trace += "fail ";
                }
                break;
            case 10: // an operator cancels or moves the platform's shutdown
                if (now - last_trouble > repair && world.platform.pending) {
                    world.platform.set(pick(2) ? 0 : world.platform.pending + 600);
                    last_trouble = now;
                    trace += "operator ";
                }
                break;
            case 11:
                world.ignoring = !world.ignoring;
                trace += world.ignoring ? "ignore " : "take ";
                break;
            default:
                now += 1 + pick(5);
                decision_tick(now);
                model_tick();
            }
            world.take(now);
            // A leftover is gone once the platform and the UPS hold nothing,
            // or the decision's own commands replaced both.
            if ((!world.platform.pending && !world.ups) ||
                (world.controls > orphan_commands && world.platform.calls > orphan_calls))
                orphan = false;
            SCOPED_TRACE(testing::Message() << "delays " << d.ac_fail << "/" << d.battery_low
                                            << "/" << d.ups_shutdown << " hold " << hold
                                            << " commands " << commands << ": " << trace);
            bool any = planned;
            time_t earliest = planned ? now : 0;
            for (int u = 0; u < 4; u++) {
                for (int k = 0; k < 2; k++) {
                    if (!held[u][k])
                        continue;
                    any = true;
                    int minutes = k == DECISION_MAINS ? d.ac_fail : d.battery_low;
                    time_t due = since[u][k] + minutes * 60;
                    if (minutes > 0 && (!earliest || due < earliest))
                        earliest = due;
                }
            }
            DecisionState state = decision_state();
            time_t wanted = state.host_deadline;
            ASSERT_TRUE(!earliest || wanted) << "a condition with a delay has a host shutdown";
            ASSERT_TRUE(!earliest || wanted <= earliest) << "the earliest deadline holds";
            ASSERT_TRUE(!wanted_before || !wanted || wanted <= wanted_before) << "moved later";
            ASSERT_TRUE(!wanted_before || wanted || !any) << "cancelled while a condition holds";
            bool bad = (wanted && (!world.host || world.host > wanted + HOST_LATE_SLACK)) ||
                       (!wanted && !orphan && world.host); // a cancel not yet through
            if (!bad)
                bad_since = 0;
            else if (!bad_since)
                bad_since = now;
            ASSERT_TRUE(!bad || now - bad_since <= repair)
                << "the platform lacks the host shutdown for " << now - bad_since << " s";
            // A cancel of a turn-off left over from a lost state is no
            // cancel of the decision's.
            int cancels = world.platform.cancels + world.cancels;
            if (!ours_before && !decision_state().ups_told)
                cancels = world.platform.cancels + (cancels_before - world.platform.cancels);
            ASSERT_TRUE(cancels == cancels_before || cancel_allowed || !any)
                << "a cancel while a condition or a planned shutdown holds (hold time included)";
            ASSERT_TRUE(any || orphan || !wanted) << "nothing holds, a shutdown wanted";
            ASSERT_TRUE(!world.ups || orphan || (wanted && world.ups >= wanted + 60 &&
                                       world.ups >= wanted + d.ups_shutdown * 60))
                << "a UPS turn-off without a host shutdown far enough before it: UPS "
                << world.ups - now << " s, host " << (wanted ? wanted - now : -1) << " s, "
                << world.last_ups;
            ASSERT_TRUE(commands || world.ups_commands == 0) << "a remote daemon's UPS commands";
            ASSERT_LE(world.ups_commands, 400) << "commands without end";
            bool forced_any = false;
            for (int u = 0; u < 4; u++) {
                if (!decision_forced(u, now))
                    continue;
                forced_any = true;
                ASSERT_TRUE(held[u][0] || held[u][1] || planned)
                    << "FSD on a unit with no condition";
                ASSERT_TRUE(wanted || state.ups_deadline) << "FSD with no shutdown pending";
            }
            ASSERT_TRUE(!wanted || wanted - now > DECISION_FORCED_AHEAD || forced_any)
                << "the host goes down before the other hosts were told";
            wanted_before = wanted;
            if (wanted && now >= wanted)
                break; // the host is down
        }
    }
}

// The calls on a real worker: a wish made while a call runs goes out as
// soon as that call has ended, from its completion, not at the next pass
// (a mains failure just after a cancel must not wait half a second).
std::mutex first_call_lock;
std::condition_variable first_call_released;
bool first_call_may_end = false; // under first_call_lock
std::atomic<int> calls_run{0};
std::vector<std::string> last_call;

HostCallResult held_first_call(const std::vector<std::string> &argv)
{
    if (calls_run.fetch_add(1) == 0) {
        std::unique_lock<std::mutex> g(first_call_lock);
        first_call_released.wait(g, [] { return first_call_may_end; });
    }
    last_call = argv;
    return {true, ""};
}

TEST(HostCalls, AWishMadeWhileACallRunsGoesOutWhenItEnds)
{
    Loop *loop = loop_new();
    Worker *worker = worker_start(loop);
    ASSERT_NE(worker, nullptr);
    host_reset();
    host_set_worker(worker);
    host_set_runner(held_first_call);
    host_set_platform("/nonexistent-platform", "/nonexistent-platform/scheduled");
    time_t now = 1700000000;
    host_want(now + 600, now, false); // "-h +10", held on the worker
    host_want(0, now, false);         // then none: "-c" is owed
    EXPECT_EQ(host_state().calls, 1) << "one call at a time";
    {
        std::lock_guard<std::mutex> g(first_call_lock);
        first_call_may_end = true;
    }
    first_call_released.notify_all();
    double until = loop_now(loop).mono + 10;
    while (calls_run.load() < 2 && loop_now(loop).mono < until)
        loop_run_once(loop, 50); // completions only: no host_tick
    EXPECT_EQ(calls_run.load(), 2);
    EXPECT_EQ(host_state().calls, 2);
    worker_stop(worker);
    EXPECT_EQ(last_call.size() > 1 ? last_call[1] : "", "-c");
    host_set_worker(nullptr);
    host_standin_install();
    host_reset();
    loop_free(loop);
}

} // namespace
