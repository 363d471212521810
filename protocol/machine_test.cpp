#include "protocol/machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "protocol/filter.h"

namespace {

// A 47-byte status reply with the given status bits (b7..b0).
std::string status_reply(const char *bits = "00000000", const char *in_v = "230.0")
{
    char buf[64];
    snprintf(buf, sizeof buf, "(%s 229.0 231.0 025 50.0 2.25 25.0 %s\r", in_v, bits);
    return buf;
}

const std::string identity_reply = "#SIMULATED       SIM-1001   1.0       \r";
const std::string rating_reply = "#230.0 004 048.0 50.0\r";

int parse(MachineContext *ctx, const std::string &reply)
{
    std::vector<unsigned char> buf(1024, 0);
    memcpy(buf.data(), reply.data(), reply.size());
    return machine_parse_reply(ctx, buf.data(), static_cast<int>(reply.size()));
}

std::vector<unsigned char> request(MachineContext *ctx)
{
    unsigned char out[MACHINE_PENDING_SIZE];
    int count = -1;
    machine_build_request(ctx, out, &count);
    return count < 0 ? std::vector<unsigned char>() : std::vector<unsigned char>(out, out + count);
}

// One send and one receive as the polling loop makes them.
void exchange(MachineContext *ctx, const std::string &reply)
{
    request(ctx);
    machine_next_step(ctx, 1);
    machine_next_step(ctx, reply.empty() ? 0 : parse(ctx, reply));
}

class Machine : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine_configure({false, false, false});
    }
    MachineContext ctx{};
};

using Bytes = std::vector<unsigned char>;

TEST_F(Machine, RequestBytesPerKindAndStep)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    EXPECT_EQ(request(&ctx), (Bytes{0x51, 0x31, 0x0D}));
    ctx.step = 2;
    EXPECT_EQ(request(&ctx), (Bytes{'I', 0x0D}));
    ctx.step = 4;
    EXPECT_EQ(request(&ctx), (Bytes{'F', 0x0D}));

    machine_setup(&ctx, KIND_LOCAL_MULTIPLE, 3);
    EXPECT_EQ(request(&ctx), (Bytes{0x51, 0x31, 0x03, 0x0D}));
    ctx.step = 2;
    EXPECT_EQ(request(&ctx), (Bytes{'I', 0x03, 0x0D}));
    ctx.step = 4;
    EXPECT_EQ(request(&ctx), (Bytes{'F', 0x03, 0x0D}));

    machine_setup(&ctx, KIND_REMOTE, 2);
    EXPECT_EQ(request(&ctx), (Bytes{0x41, 0x4C, 0x4C, 0x02, 0x00}));
}

TEST_F(Machine, ReceiveStepsBuildNothingAndLeaveCountAlone)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    ctx.step = 1;
    EXPECT_TRUE(request(&ctx).empty());
    machine_setup(&ctx, KIND_NONE, 1);
    EXPECT_TRUE(request(&ctx).empty());
    EXPECT_EQ(machine_next_action(&ctx), ACTION_NOTHING);
}

TEST_F(Machine, StatusReplyNeedsExactLengthAndBlanks)
{
    machine_setup(&ctx, KIND_LOCAL_MULTIPLE, 1);
    ctx.step = 1;
    std::string good = status_reply("10000000");
    ASSERT_EQ(good.size(), 47u);

    std::string letter = good;
    letter[27] = 'X';
    EXPECT_EQ(parse(&ctx, letter), 0);
    EXPECT_EQ(parse(&ctx, good.substr(0, 46)), 0);
    EXPECT_EQ(parse(&ctx, good + " "), 0);
    EXPECT_EQ(ctx.input_voltage, 0.0f) << "a bad reply must store nothing";

    EXPECT_EQ(parse(&ctx, good), 1);
    EXPECT_FLOAT_EQ(ctx.input_voltage, 230.0f);
    EXPECT_FLOAT_EQ(ctx.input_fault_voltage, 229.0f);
    EXPECT_FLOAT_EQ(ctx.output_voltage, 231.0f);
    EXPECT_FLOAT_EQ(ctx.load_percent, 25.0f);
    EXPECT_FLOAT_EQ(ctx.input_frequency, 50.0f);
    EXPECT_FLOAT_EQ(ctx.battery_voltage, 2.25f);
    EXPECT_FLOAT_EQ(ctx.temperature, 25.0f);
    EXPECT_EQ(ctx.status[7], '1') << "b7 comes first in the reply";
    EXPECT_EQ(ctx.status[0], '0');
    EXPECT_EQ(ctx.status[8], '0') << "the connection character is not the reply's";
}

TEST_F(Machine, MissingReadIsAFailedReceive)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    ctx.step = 1;
    unsigned char buf[1024] = {0};
    EXPECT_EQ(machine_parse_reply(&ctx, buf, 0), 0);
    EXPECT_EQ(machine_parse_reply(&ctx, buf, -1), 0);
}

TEST_F(Machine, IdentityAndRatingAcceptSerialAndUsbLengths)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    ctx.step = 3;
    EXPECT_EQ(parse(&ctx, identity_reply), 1);
    EXPECT_STREQ(ctx.company, "SIMULATED      ");
    EXPECT_STREQ(ctx.model, "SIM-1001  ");
    EXPECT_STREQ(ctx.version, "1.0       ");
    std::string usb_report = identity_reply + std::string(8, '\0');
    EXPECT_EQ(parse(&ctx, usb_report), 1);
    EXPECT_EQ(parse(&ctx, identity_reply.substr(0, 38)), 0);

    ctx.step = 5;
    EXPECT_EQ(parse(&ctx, rating_reply), 1);
    EXPECT_FLOAT_EQ(ctx.rated_voltage, 230.0f);
    EXPECT_FLOAT_EQ(ctx.rated_current, 4.0f);
    EXPECT_FLOAT_EQ(ctx.rated_battery_voltage, 48.0f);
    EXPECT_FLOAT_EQ(ctx.rated_frequency, 50.0f);
    EXPECT_EQ(parse(&ctx, rating_reply + std::string(25, ' ')), 1);
    EXPECT_EQ(parse(&ctx, rating_reply + " "), 0);
}

TEST_F(Machine, NewUnitIsAskedIdentityThenRatingsOnceThenStatusOnly)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    std::vector<char> asked;
    auto poll = [&](const std::string &reply) {
        asked.push_back(static_cast<char>(request(&ctx)[0]));
        machine_next_step(&ctx, 1);
        machine_next_step(&ctx, parse(&ctx, reply));
    };
    poll(status_reply());
    EXPECT_EQ(ctx.connected, 1);
    EXPECT_EQ(machine_take_turn_done(&ctx), 1) << "a fresh status ends the turn";
    EXPECT_EQ(machine_take_turn_done(&ctx), 0);
    poll(identity_reply);
    poll(status_reply());
    poll(rating_reply);
    poll(status_reply());
    poll(status_reply());
    EXPECT_EQ(std::string(asked.begin(), asked.end()), "QIQFQQ");
}

// Real units answer with a 23-byte identity and a 21-byte rating reply: each
// is given up after three tries, without counting toward the unit's loss,
// and asked again once the unit was lost and found.
TEST_F(Machine, OtherLengthsOfIdentityAndRatingAreGivenUpAfterThreeTries)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    std::string asked;
    auto poll = [&](const std::string &reply) {
        asked += static_cast<char>(request(&ctx)[0]);
        machine_next_step(&ctx, 1);
        machine_next_step(&ctx, reply.empty() ? 0 : parse(&ctx, reply));
    };
    const std::string short_identity = "#SIMULATED  SIM-1001 \r"; // 23 bytes
    const std::string short_rating = "#230.0 004 048.0 50.\r";    // 21 bytes
    poll(status_reply());
    for (int i = 0; i < 3; i++)
        poll(short_identity);
    EXPECT_EQ(ctx.fail_count, 0) << "a malformed reply is an answer";
    poll(status_reply());
    for (int i = 0; i < 3; i++)
        poll(short_rating);
    poll(status_reply("10000000"));
    poll(status_reply("10000000"));
    EXPECT_EQ(asked, "QIIIQFFFQQ");
    EXPECT_EQ(ctx.connected, 1);
    EXPECT_EQ(ctx.fail_count, 0);
    EXPECT_EQ(ctx.status[7], '1') << "status polling goes on";

    for (int i = 0; i < 4; i++)
        poll("");
    EXPECT_EQ(ctx.connected, 0);
    asked.clear();
    poll(status_reply());
    poll(identity_reply);
    EXPECT_EQ(asked, "QI") << "asked again after the loss";
}

// One real unit always sends a NUL in one status position; a glitch byte
// must never read as "cleared".
TEST_F(Machine, StatusCharactersOtherThanZeroOrOneKeepTheirValue)
{
    machine_setup(&ctx, KIND_LOCAL_MULTIPLE, 1);
    exchange(&ctx, status_reply("11000010"));
    exchange(&ctx, identity_reply);
    exchange(&ctx, status_reply("11000010"));
    exchange(&ctx, rating_reply);
    std::string glitch = status_reply("x1000010");
    glitch[38 + 7] = '\0'; // b0
    exchange(&ctx, glitch);
    EXPECT_EQ(std::string(ctx.status, 8), "01000011");
    EXPECT_EQ(ctx.step, 0);
    EXPECT_FLOAT_EQ(ctx.input_voltage, 230.0f) << "the rest of the reply is taken";
    exchange(&ctx, status_reply("x0000000"));
    EXPECT_EQ(std::string(ctx.status, 8), "00000001") << "b7 kept, b6 and b1 cleared";
}

// A kind 3 daemon reads its peer's record; connection '0' there means the
// peer's unit is not connected, and its zeros are no status.
TEST_F(Machine, RemoteRecordOfAnUnconnectedUnitIsNoStatus)
{
    MachineContext peer{};
    machine_setup(&peer, KIND_LOCAL_MULTIPLE, 1);
    char rec[STATUS_RECORD_LEN];
    machine_status_record(&peer, rec);
    std::string unconnected(rec, STATUS_RECORD_LEN);
    ASSERT_EQ(unconnected[46], '0');

    for (bool option : {true, false}) {
        machine_configure({false, false, option});
        machine_setup(&ctx, KIND_REMOTE, 1);
        memcpy(ctx.status, "000000011", 9);
        ctx.status_taken = 1;
        ctx.step = 1;
        EXPECT_EQ(parse(&ctx, unconnected), option ? 0 : 1);
        EXPECT_EQ(ctx.status[7], option ? '1' : '0') << "option " << option;
    }
}

TEST_F(Machine, FourthFailedReceiveLosesTheUnit)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    EXPECT_EQ(ctx.connected, 0) << "never answered: not connected from the start";
    exchange(&ctx, status_reply("10000001"));
    exchange(&ctx, identity_reply);
    ctx.status[8] = '1';
    for (int i = 1; i <= 3; i++) {
        exchange(&ctx, "");
        EXPECT_EQ(ctx.connected, 1) << "after failure " << i;
        EXPECT_EQ(ctx.fail_count, i);
        EXPECT_EQ(ctx.step, 0) << "the same query is asked again";
    }
    exchange(&ctx, "");
    EXPECT_EQ(ctx.connected, 0);
    EXPECT_EQ(ctx.fail_count, 4);
    EXPECT_EQ(ctx.status[8], '0');
    EXPECT_EQ(ctx.status[7], '1') << "status bits stay when the unit is lost";
    EXPECT_EQ(ctx.input_voltage, 0.0f);
    EXPECT_EQ(ctx.company[0], '\0');
    exchange(&ctx, "");
    EXPECT_EQ(ctx.fail_count, 4) << "held at 4 while lost";
    EXPECT_EQ(machine_take_turn_done(&ctx), 1) << "a lost unit hands on the turn";

    exchange(&ctx, status_reply());
    EXPECT_EQ(ctx.connected, 1);
    EXPECT_EQ(ctx.fail_count, 0);
    EXPECT_EQ(ctx.step, 2) << "identity was cleared, so it is asked again";
}

TEST_F(Machine, CommandGoesOutAfterTheStatusReplyNeverInItsPlace)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    exchange(&ctx, status_reply());
    exchange(&ctx, identity_reply);
    exchange(&ctx, status_reply());
    exchange(&ctx, rating_reply);
    ASSERT_EQ(ctx.step, 0);

    EXPECT_EQ(request(&ctx), (Bytes{'Q', '1', 0x0D}));
    ASSERT_EQ(machine_queue_control(&ctx, "S12R0001\r", 9), 1);
    machine_next_step(&ctx, 1);
    EXPECT_EQ(ctx.step, 1) << "the reply to the query just sent is read first";
    EXPECT_EQ(machine_next_action(&ctx), ACTION_RECEIVE);
    machine_next_step(&ctx, parse(&ctx, status_reply()));
    EXPECT_EQ(ctx.step, 6);
    Bytes cmd = request(&ctx);
    EXPECT_EQ(std::string(cmd.begin(), cmd.end()), "S12R0001\r");
    EXPECT_TRUE(machine_queued(&ctx).empty());
    machine_next_step(&ctx, 1);
    EXPECT_EQ(ctx.step, 0);

    // A failed receive goes back to the query; the command waits for a
    // status reply that was taken.
    machine_queue_command(&ctx, "C\r", 2);
    request(&ctx);
    machine_next_step(&ctx, 1);
    machine_next_step(&ctx, 0);
    EXPECT_EQ(ctx.step, 0);
    exchange(&ctx, status_reply());
    EXPECT_EQ(ctx.step, 6);

    // A unit still to be asked for its identity is asked after the command.
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    machine_queue_command(&ctx, "T\r", 2);
    exchange(&ctx, status_reply());
    EXPECT_EQ(ctx.step, 6);
    EXPECT_EQ(request(&ctx), (Bytes{'T', 0x0D}));
    machine_next_step(&ctx, 1);
    EXPECT_EQ(ctx.step, 2);
}

TEST_F(Machine, ControlReplacesControlOrdinaryQueuesAndOverlongIsRefused)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    machine_queue_command(&ctx, "T\r", 2);
    machine_queue_control(&ctx, "S12R0001\r", 9);
    machine_queue_control(&ctx, "C\r", 2);
    machine_queue_command(&ctx, "TL\r", 3);
    EXPECT_EQ(machine_queued(&ctx), (std::vector<std::string>{"C\r", "T\r", "TL\r"}))
        << "the newer control command replaced the older; the control lane goes first";

    std::string longest(MACHINE_PENDING_SIZE, 'S');
    EXPECT_EQ(machine_queue_command(&ctx, longest.data(), MACHINE_PENDING_SIZE), 1);
    std::string too_long(MACHINE_PENDING_SIZE + 1, 'S');
    testing::internal::CaptureStdout();
    EXPECT_EQ(machine_queue_command(&ctx, too_long.data(), MACHINE_PENDING_SIZE + 1), 0);
    EXPECT_EQ(machine_queue_control(&ctx, too_long.data(), MACHINE_PENDING_SIZE + 1), 0);
    EXPECT_EQ(machine_queue_command(&ctx, "", 0), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_EQ(machine_queued(&ctx), (std::vector<std::string>{"C\r", "T\r", "TL\r", longest}))
        << "a refused command changes nothing";

    // The queue survives a reload's set-up as a whole; a loss keeps only
    // the decision's command, and says what it dropped.
    MachineQueue kept = machine_queue_get(&ctx);
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    EXPECT_TRUE(machine_queued(&ctx).empty());
    machine_queue_set(&ctx, kept);
    EXPECT_EQ(machine_queued(&ctx).size(), 4u);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 4; i++)
        exchange(&ctx, "");
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("3 queued command(s) dropped"), std::string::npos) << out;
    EXPECT_EQ(machine_queued(&ctx), std::vector<std::string>{"C\r"});
    std::string taken;
    EXPECT_TRUE(machine_take_pending(&ctx, &taken));
    EXPECT_EQ(taken, "C\r");
    EXPECT_FALSE(machine_take_pending(&ctx, &taken));
    EXPECT_EQ(taken, "");
}

// A producer of commands for unit 1: the decision on the control lane, the
// others on the ordinary one, `repeat` commands at once.
struct Producer {
    const char *name;
    bool control;
    std::string bytes;
    int repeat;
};

// What one run of the producers against a polled unit gave.
struct QueueRun {
    std::vector<std::string> sent; // the commands that went out, in order
    std::string last_control;      // the decision's latest command
    int refused = 0;               // commands the full ordinary lane refused (each reported)
    int reads = 0;                 // status replies taken
};

// Polls `ctx` (set up as `kind`) like the loop does, against a UPS that
// leaves every `silent`-th status query unanswered (0: none), while the
// producers queue their commands in `order`, `gap` moves apart; every move
// is checked against a model of the queue. A run ends once every producer
// has queued and everything went out.
void run_producers(MachineContext *ctx, int kind, const std::vector<Producer> &producers,
                   const std::vector<int> &order, int gap, int silent, QueueRun *run)
{
    MachineContext peer{};
    machine_setup(&peer, KIND_LOCAL_MULTIPLE, 1);
    char rec[STATUS_RECORD_LEN];
    machine_status_record(&peer, rec);
    const std::string record(rec, STATUS_RECORD_LEN);

    machine_setup(ctx, kind, 1);
    std::string control; // the model: the control lane and the ordinary one
    std::deque<std::string> ordinary;
    size_t next = 0;
    int queries = 0, commands_this_cycle = 0;
    bool status_just_read = false, query_out = false;
    for (int move = 0; move < 400; move++) {
        while (next < order.size() && move >= static_cast<int>(next) * gap) {
            const Producer &p = producers[order[next++]];
            const char *bytes = p.bytes.data();
            int len = static_cast<int>(p.bytes.size());
            for (int r = 0; r < p.repeat; r++) {
                if (p.control) {
                    ASSERT_EQ(machine_queue_control(ctx, bytes, len), 1);
                    control = run->last_control = p.bytes;
                    continue;
                }
                if (ordinary.size() < MACHINE_QUEUE_DEPTH) {
                    ASSERT_EQ(machine_queue_command(ctx, bytes, len), 1) << p.name;
                    ordinary.push_back(p.bytes);
                    continue;
                }
                testing::internal::CaptureStdout();
                int queued = machine_queue_command(ctx, bytes, len);
                std::string out = testing::internal::GetCapturedStdout();
                ASSERT_EQ(queued, 0) << p.name << ": the lane is full";
                ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << "reported: " << out;
                run->refused++;
            }
        }
        std::vector<std::string> model;
        if (!control.empty())
            model.push_back(control);
        model.insert(model.end(), ordinary.begin(), ordinary.end());
        ASSERT_EQ(machine_queued(ctx), model) << "move " << move;
        if (next == order.size() && model.empty() && move > 40)
            return;

        if (machine_next_action(ctx) == ACTION_SEND) {
            ASSERT_FALSE(query_out) << "a status query's reply was not read";
            Bytes req = request(ctx);
            std::string text(req.begin(), req.end());
            machine_next_step(ctx, 1);
            if (text.rfind("Q1", 0) == 0 || text.rfind("ALL", 0) == 0) {
                queries++;
                query_out = true;
                commands_this_cycle = 0;
            } else if (text != "I\r" && text != "F\r") {
                // A command: the model's next, right after a status read.
                ASSERT_TRUE(status_just_read) << text;
                ASSERT_EQ(commands_this_cycle++, 0) << text;
                std::string expected;
                if (!control.empty()) {
                    expected = control;
                    control.clear();
                } else {
                    ASSERT_FALSE(ordinary.empty()) << text;
                    expected = ordinary.front();
                    ordinary.pop_front();
                }
                ASSERT_EQ(text, expected);
                run->sent.push_back(text);
            }
            status_just_read = false;
            continue;
        }
        int step = machine_step(ctx);
        ASSERT_EQ(machine_next_action(ctx), ACTION_RECEIVE) << step;
        std::string reply;
        if (step == 1) {
            query_out = false;
            if (silent == 0 || queries % silent != 0)
                reply = kind == KIND_REMOTE ? record : status_reply();
        } else {
            reply = step == 3 ? identity_reply : rating_reply;
        }
        int ok = reply.empty() ? 0 : parse(ctx, reply);
        machine_next_step(ctx, ok);
        status_just_read = step == 1 && ok;
        run->reads += status_just_read;
    }
    FAIL() << "the queue never emptied";
}

// The producers of unit 1's commands, queued in every order and at every
// pace against a unit that is being polled: the decision's latest command
// always goes out, and before any other; every accepted command goes out
// exactly once, in order within its lane; a refused one is reported; at
// most one command follows each status reply that was taken; and every
// status query's reply is read, however fast commands come.
TEST_F(Machine, CommandQueueTable)
{
    const std::vector<Producer> producers = {
        {"decision turn-off", true, "S12R0001\r", 1},
        {"decision cancel", true, "C\r", 1},
        {"port 2027 test", false, "T\r", 1},
        {"port 3493 test", false, "TL\r", 1},
        {"schedule", false, "CT\r", 1},
        {"port 2027 flood", false, "S05\r", MACHINE_QUEUE_DEPTH},
    };
    const int ordinary_count = 3 + MACHINE_QUEUE_DEPTH;
    std::vector<int> order = {0, 1, 2, 3, 4, 5};
    int runs = 0;
    do {
        for (int kind : {KIND_LOCAL_SINGLE, KIND_REMOTE}) {
            for (int gap : {0, 1, 2, 3, 7}) {   // moves between two producers
                for (int silent : {0, 3}) {      // every n-th status query unanswered
                    SCOPED_TRACE(testing::Message() << "kind " << kind << " gap " << gap
                                                    << " silent " << silent << " order "
                                                    << testing::PrintToString(order));
                    QueueRun run;
                    run_producers(&ctx, kind, producers, order, gap, silent, &run);
                    if (HasFatalFailure())
                        return;
                    ASSERT_NE(std::find(run.sent.begin(), run.sent.end(), run.last_control),
                              run.sent.end())
                        << "the decision's latest command went out";
                    int ordinary_sent = 0;
                    for (const std::string &c : run.sent)
                        ordinary_sent += c != "S12R0001\r" && c != "C\r";
                    ASSERT_EQ(ordinary_sent, ordinary_count - run.refused)
                        << "every accepted command went out once";
                    ASSERT_GE(run.reads, static_cast<int>(run.sent.size()));
                    runs++;
                }
            }
        }
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(runs, 720 * 2 * 5 * 2);
}

TEST_F(Machine, RemoteKindStepsAndLoss)
{
    machine_setup(&ctx, KIND_REMOTE, 1);
    EXPECT_EQ(machine_next_action(&ctx), ACTION_SEND);
    machine_next_step(&ctx, 1);
    EXPECT_EQ(machine_next_action(&ctx), ACTION_RECEIVE);
    machine_queue_command(&ctx, "T\r", 2);
    machine_next_step(&ctx, 1);
    EXPECT_EQ(ctx.step, 2);
    EXPECT_EQ(request(&ctx), (Bytes{'T', 0x0D}));
    machine_next_step(&ctx, 1);
    EXPECT_EQ(ctx.step, 0);

    ctx.connected = 1;
    ctx.input_voltage = 230.0f;
    for (int i = 0; i < 4; i++) {
        machine_next_step(&ctx, 1);
        machine_next_step(&ctx, 0);
    }
    EXPECT_EQ(ctx.connected, 0);
    EXPECT_EQ(ctx.fail_count, 4);
    EXPECT_EQ(ctx.input_voltage, 230.0f) << "a remote unit keeps its last values";
}

TEST_F(Machine, StatusRecordOffsetsAndRoundTrip)
{
    machine_setup(&ctx, KIND_LOCAL_MULTIPLE, 2);
    ctx.step = 1;
    parse(&ctx, status_reply("10001001"));
    snprintf(ctx.company, sizeof ctx.company, "ACME");
    snprintf(ctx.model, sizeof ctx.model, "M1");
    snprintf(ctx.version, sizeof ctx.version, "2.0");
    ctx.rated_voltage = 230;
    ctx.rated_current = 4.7f;
    ctx.rated_battery_voltage = 48;
    ctx.rated_frequency = 50;
    ctx.connected = 1;

    char rec[STATUS_RECORD_LEN];
    machine_status_record(&ctx, rec);
    EXPECT_EQ(rec[107], '\0');
    EXPECT_EQ(strlen(rec), 107u);
    std::string r(rec);
    EXPECT_EQ(r.substr(0, 5), "230.0");
    EXPECT_EQ(r.substr(18, 3), "025");
    EXPECT_EQ(r.substr(22, 4), "50.0");
    EXPECT_EQ(r.substr(27, 5), "02.25");
    EXPECT_EQ(r.substr(38, 8), "10001001");
    EXPECT_EQ(r[46], '1');
    EXPECT_EQ(r.substr(48, 15), std::string(11, ' ') + "ACME");
    EXPECT_EQ(r.substr(64, 10), "        M1");
    EXPECT_EQ(r.substr(92, 3), "004") << "integers are truncated toward zero";
    EXPECT_EQ(r.substr(96, 6), "048.00");
    EXPECT_EQ(r.substr(103, 4), "50.0");

    MachineContext remote{};
    machine_setup(&remote, KIND_REMOTE, 2);
    remote.step = 1;
    std::string bytes(rec, STATUS_RECORD_LEN);
    EXPECT_EQ(parse(&remote, bytes.substr(0, 107)), 0);
    EXPECT_EQ(parse(&remote, bytes), 1);
    EXPECT_STREQ(remote.company, "           ACME") << "stored with its leading blanks";
    EXPECT_FLOAT_EQ(remote.battery_voltage, 2.25f);
    EXPECT_EQ(std::string(remote.status, 9), "100100011");
    EXPECT_FLOAT_EQ(remote.rated_battery_voltage, 48.0f);
}

// Every way a unit's texts come in (an identity reply, a remote record, a
// card's reading) stores them printable: a byte outside 0x20..0x7E is '?',
// so a quote stays a quote and a line end never reaches a page or a port.
TEST_F(Machine, DeviceTextsAreTakenInPrintable)
{
    struct Row {
        std::string company; // 15 bytes as the unit sends them
        std::string stored;
    };
    const Row rows[] = {
        {"SIMULATED      ", "SIMULATED      "},
        {std::string("ACME\"\nFSD ups1 "), "ACME\"?FSD ups1 "},
        {std::string("\x1b[2J\x7f\xff\x80\r\t\\ ~abc", 15), "?[2J?????\\ ~abc"},
        {std::string("A\x1f\x20\x7e\x7f" "BCDEFGHIJK", 15), "A? ~?BCDEFGHIJK"},
        {std::string("AB\0CDEFGHIJKLM", 15), "AB?CDEFGHIJKLM?"},
    };
    const std::string model = "M\"\n\\      ", stored_model = "M\"?\\      ";
    for (const Row &row : rows) {
        ASSERT_EQ(row.company.size(), 15u);
        MachineContext local{};
        machine_setup(&local, KIND_LOCAL_SINGLE, 1);
        local.step = 3;
        ASSERT_EQ(parse(&local, "#" + row.company + " " + model + " 1.0\x01      \r"), 1);
        EXPECT_EQ(std::string(local.company), row.stored) << "identity reply";
        EXPECT_EQ(std::string(local.model), stored_model) << "identity reply";
        EXPECT_EQ(std::string(local.version), "1.0?      ") << "identity reply";

        std::string record(STATUS_RECORD_LEN, ' ');
        record.replace(0, 47, "230.0 229.0 231.0 025 50.0 2.25 25.0 00000000 1");
        record.replace(48, 15, row.company);
        record.replace(64, 10, model);
        record.replace(75, 10, std::string("\r\n1.0      ", 10));
        MachineContext remote{};
        machine_setup(&remote, KIND_REMOTE, 1);
        remote.step = 1;
        ASSERT_EQ(parse(&remote, record), 1);
        EXPECT_EQ(std::string(remote.company), row.stored) << "remote record";
        EXPECT_EQ(std::string(remote.model), stored_model) << "remote record";
        EXPECT_EQ(std::string(remote.version), "??1.0     ") << "remote record";

        MachineReading reading{};
        snprintf(reading.company, sizeof reading.company, "%s", row.company.c_str());
        snprintf(reading.model, sizeof reading.model, "%s", model.c_str());
        snprintf(reading.version, sizeof reading.version, "v\x7f");
        reading.battery_charge = -1;
        MachineContext card{};
        machine_setup(&card, KIND_LOCAL_SINGLE, 1);
        machine_take_reading(&card, reading);
        // A card's texts end at a NUL.
        std::string expected = row.stored.substr(0, strlen(reading.company));
        EXPECT_EQ(std::string(card.company), expected) << "card reading";
        EXPECT_EQ(std::string(card.model), stored_model) << "card reading";
        EXPECT_EQ(std::string(card.version), "v?") << "card reading";
    }
}

// Values wider than their fields are held at the field's edge, so every
// column stays where a peer reads it.
TEST_F(Machine, StatusRecordKeepsItsColumnsWithWideValues)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    memcpy(ctx.status, "110000001", 9);
    ctx.connected = ctx.status_taken = 1;
    ctx.input_voltage = 12345.6f;
    ctx.load_percent = 1e30f;
    ctx.battery_voltage = 192.0f; // a card's whole battery string
    ctx.temperature = -12.0f;
    ctx.rated_battery_voltage = 2400;
    ctx.rated_current = -3;
    char rec[STATUS_RECORD_LEN];
    machine_status_record(&ctx, rec);
    EXPECT_EQ(strlen(rec), 107u);
    std::string r(rec);
    EXPECT_EQ(r.substr(0, 5), "999.9");
    EXPECT_EQ(r.substr(18, 3), "999");
    EXPECT_EQ(r.substr(27, 5), "99.99");
    EXPECT_EQ(r.substr(33, 4), "-9.9");
    EXPECT_EQ(r.substr(38, 9), "000000111");
    EXPECT_EQ(r.substr(92, 3), "000");
    EXPECT_EQ(r.substr(96, 6), "999.99");
}

TEST_F(Machine, ReplyInAStepWithoutOneIsReported)
{
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse(&ctx, status_reply()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "machine: unit 1: a reply at step 0, which waits for none\n");
}

TEST_F(Machine, KindZeroRepliesPassTheFilterOnlyWhenConfigured)
{
    machine_configure({true, false, false});
    machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
    ctx.step = 1;
    EXPECT_EQ(parse(&ctx, status_reply()), 1) << "turned down, but still an answer";
    EXPECT_EQ(ctx.input_voltage, 0.0f);
    EXPECT_EQ(parse(&ctx, status_reply()), 1);
    EXPECT_EQ(ctx.input_voltage, 0.0f);
    EXPECT_EQ(parse(&ctx, status_reply()), 1);
    EXPECT_FLOAT_EQ(ctx.input_voltage, 230.0f) << "the third steady reply is taken";

    MachineContext multi{};
    machine_setup(&multi, KIND_LOCAL_MULTIPLE, 1);
    multi.step = 1;
    EXPECT_EQ(parse(&multi, status_reply("00000000", "180.0")), 1);
    EXPECT_FLOAT_EQ(multi.input_voltage, 180.0f) << "kind 1 is never filtered";
}

TEST(ReplyNumber, BlanksGarbageAndNonFiniteText)
{
    const unsigned char text[] = " 12.5abc nan inf";
    EXPECT_FLOAT_EQ(reply_number(text, 0, 5), 12.5f);
    EXPECT_FLOAT_EQ(reply_number(text, 5, 3), 0.0f);
    EXPECT_FLOAT_EQ(reply_number(text, 8, 4), 0.0f);
    EXPECT_FLOAT_EQ(reply_number(text, 12, 4), 0.0f);
}

} // namespace
