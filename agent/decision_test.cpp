#include "agent/decision.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "protocol/ups_command.h"
#include "store/textfile.h"
#include "tests/spawn_recorder.h"
#include "tests/tempdir.h"

namespace {

const char *const BOOT = "decision-test-boot";

// The platform and the UPS as the daemon's commands leave them: one pending
// host shutdown (a new "-h +N" replaces it, "-c" clears it) and one UPS
// turn-off ("SnnR0001" replaces it, "C" clears it). Every command must be
// one of the UPS command language.
struct World {
    MachineContext unit1{};
    time_t host = 0;      // pending host shutdown; 0 none
    time_t ups = 0;       // pending UPS turn-off; 0 none
    int host_commands = 0; // every "-h" and "-c" seen
    int ups_commands = 0;  // every UPS command seen
    std::string last_ups;  // the last of them

    void reset()
    {
        machine_setup(&unit1, KIND_LOCAL_MULTIPLE, 1);
        host = ups = 0;
        host_commands = ups_commands = 0;
        last_ups.clear();
    }

    // Takes the commands given since the last call, at `now`.
    void take(time_t now)
    {
        for (const auto &argv : spawned()) {
            host_commands++;
            if (argv[1] == "-c")
                host = 0;
            else
                host = now + std::stoi(argv[2].substr(1)) * 60;
        }
        spawned().clear();
        std::string cmd;
        while (machine_take_pending(&unit1, &cmd)) { // the queue goes out
            UpsCommand c;
            ASSERT_TRUE(ups_command_parse(cmd, &c)) << cmd;
            ASSERT_TRUE(c.kind == UPS_COMMAND_SHUTDOWN_CANCEL ||
                        c.kind == UPS_COMMAND_TURN_OFF_RESTORE)
                << cmd;
            ups_commands++;
            last_ups = cmd;
            ups = c.kind == UPS_COMMAND_SHUTDOWN_CANCEL ? 0 : now + c.minutes * 60;
        }
    }
};

class Decision : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine_setup(&world.unit1, KIND_LOCAL_MULTIPLE, 1);
        decision_init(&world.unit1);
        decision_start(BOOT);
    }
    void TearDown() override { decision_init(nullptr); }

    void start(DecisionDelays d, bool ups_commands = true)
    {
        decision_configure(d, ups_commands);
        decision_watch(4);
    }
    void see(int unit, bool mains, bool battery, bool lost = false)
    {
        decision_observe(now, unit, {true, lost, mains, battery});
        world.take(now);
    }

    TempProgramDir dir;
    SpawnRecorder rec;
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
        {{0, 1, 2}, true, true, false, -1, 2},    // no host shutdown, the UPS still turns off
        {{10, 1, 0}, true, true, false, 10, -1},  // no UPS command on a mains failure
        {{10, 1, 0}, true, false, true, 1, 1},    // a low battery turns the UPS off at the host deadline
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
        EXPECT_EQ(world.host_commands, r.host_minutes < 0 ? 0 : 1);
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
    decision_observe(now, 0, {true, false, true, false});
    std::string first;
    ASSERT_TRUE(machine_take_pending(&world.unit1, &first));
    EXPECT_EQ(first, "S12R0001\r");
    decision_observe(now, 0, {true, false, false, false});
    ASSERT_TRUE(machine_take_pending(&world.unit1, &first));
    EXPECT_EQ(first, "C\r");
    EXPECT_EQ(machine_queued(&world.unit1).size(), static_cast<size_t>(MACHINE_QUEUE_DEPTH))
        << "the clients' commands all wait their turn";
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
        see(0, true, false);
        decision_tick(written + 60);
        world.take(written + 60);
    }
}

TEST_F(Decision, RestartReissuesTheMinutesLeftWhenTheyAreWhole)
{
    start({10, 1, 2});
    see(0, true, false);
    time_t host = world.host, ups = world.ups;
    now += 200; // 6 min 40 s left
    decision_start(BOOT);
    start({10, 1, 2});
    machine_setup(&world.unit1, KIND_LOCAL_MULTIPLE, 1);
    decision_observe(now, 0, {false, false, false, false}); // not yet taken: nothing
    see(0, true, false);
    EXPECT_EQ(world.host_commands, 1) << "not yet: 40 s past a whole minute";
    for (int i = 0; i < 40; i++) {
        now += 1;
        decision_tick(now);
        world.take(now);
    }
    EXPECT_EQ(world.host_commands, 2);
    EXPECT_LE(world.host, host);
    EXPECT_GE(world.host, host - DECISION_ALIGN_SECONDS);
    EXPECT_EQ(world.ups - world.host, ups - host) << "the UPS keeps its distance";
}

// Random outage sequences on four units, checked after every step.
TEST_F(Decision, RandomSequencesKeepTheInvariants)
{
    std::mt19937 rng(20261207);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int sequence = 0; sequence < 1000; sequence++) {
        DecisionDelays d = {pick(100), pick(100), pick(100)};
        if (pick(4) == 0)
            d.ac_fail = pick(3); // small delays make the deadlines meet more often
        if (pick(4) == 0)
            d.battery_low = pick(3);
        if (pick(4) == 0)
            d.ups_shutdown = pick(3);
        bool commands = pick(5) != 0;
        world.reset();
        decision_init(&world.unit1);
        decision_start("an earlier boot"); // removes the last sequence's state
        decision_start(BOOT);
        start(d, commands);
        bool bits[4][2] = {};    // what the units show
        bool seen_bits[4][2] = {}; // what the decision last saw
        time_t since[4][2] = {}; // when the decision first saw a condition that counts
        std::string trace;
        for (int step = 0; step < 60; step++) {
            int unit = pick(4), c = pick(2);
            time_t host_before = world.host;
            switch (pick(8)) {
            case 0:
            case 1:
                bits[unit][c] = !bits[unit][c];
                [[fallthrough]];
            case 2: // a status check (again, when nothing changed: a duplicate)
            case 3: {
                bool lost = pick(6) == 0;
                decision_observe(now, unit, {true, lost, bits[unit][0], bits[unit][1]});
                for (int k = 0; k < 2; k++) {
                    bool counts = k == DECISION_MAINS || d.battery_low > 0;
                    bool holds = bits[unit][k] && counts;
                    if (holds && !seen_bits[unit][k])
                        since[unit][k] = now;
                    seen_bits[unit][k] = holds;
                }
                trace += "see";
                trace += static_cast<char>('0' + unit);
                trace += bits[unit][0] ? "M" : "m";
                trace += bits[unit][1] ? "B " : "b ";
                break;
            }
            case 4:
                now += pick(200);
                decision_tick(now);
                trace += "t";
                trace += std::to_string(now % 100000);
                trace += " ";
                break;
            case 5: // "RefreshSet"
                start(d, commands);
                trace += "reload ";
                break;
            case 6: { // a restart: new process state, the unit 1 slot empty
                decision_start(BOOT);
                start(d, commands);
                machine_setup(&world.unit1, KIND_LOCAL_MULTIPLE, 1);
                trace += "restart ";
                break;
            }
            default:
                now += 1 + pick(5);
                decision_tick(now);
            }
            world.take(now);
            SCOPED_TRACE(testing::Message() << "delays " << d.ac_fail << "/" << d.battery_low
                                            << "/" << d.ups_shutdown << " commands " << commands
                                            << ": " << trace);
            if (world.host && now >= world.host)
                break; // the host is down
            bool any = false;
            time_t earliest = 0;
            for (int u = 0; u < 4; u++) {
                for (int k = 0; k < 2; k++) {
                    if (!seen_bits[u][k])
                        continue;
                    any = true;
                    int minutes = k == DECISION_MAINS ? d.ac_fail : d.battery_low;
                    time_t due = since[u][k] + minutes * 60;
                    if (minutes > 0 && (!earliest || due < earliest))
                        earliest = due;
                }
            }
            ASSERT_TRUE(!earliest || world.host) << "a condition with a delay holds";
            ASSERT_TRUE(!earliest || world.host <= earliest) << "the earliest deadline holds";
            ASSERT_TRUE(!host_before || !world.host || world.host <= host_before)
                << "moved later";
            ASSERT_TRUE(!host_before || world.host || !any) << "cancelled while a condition holds";
            ASSERT_TRUE(any || (!world.host && !world.ups)) << "nothing holds, nothing pending";
            ASSERT_TRUE(!world.host || !world.ups || world.ups >= world.host)
                << "the UPS would turn off first";
            ASSERT_TRUE(commands || world.ups_commands == 0) << "a remote daemon's UPS commands";
            bool forced_any = false;
            for (int u = 0; u < 4; u++) {
                if (!decision_forced(u, now))
                    continue;
                forced_any = true;
                ASSERT_TRUE(seen_bits[u][0] || seen_bits[u][1]) << "FSD on a unit with no condition";
                ASSERT_TRUE(world.host || world.ups) << "FSD with no shutdown pending";
            }
            ASSERT_TRUE(!world.host || world.host - now > DECISION_FORCED_AHEAD || forced_any)
                << "the host goes down before the other hosts were told";
        }
    }
}

} // namespace
