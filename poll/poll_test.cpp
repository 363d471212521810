#include "poll/poll.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

int checks = 0;
void count_check(MachineContext *, void *)
{
    checks++;
}

// Lines printed by `run`.
template <typename F> std::string lines_of(F run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

TEST(PollOpenReason, AsTheLineSaysIt)
{
    struct Row {
        int err;
        const char *text;
    } rows[] = {
        {ENOENT, "no such device"},       {ENODEV, "no such device"},
        {ENXIO, "no such device"},        {EACCES, "permission denied"},
        {EPERM, "permission denied"},     {ECONNREFUSED, "connection refused"},
        {ETIMEDOUT, "connection timed out"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(poll_open_reason(r.err), r.text) << r.err;
}

TEST(PollLinkName, SerialTcpAndUsb)
{
    LinkPort link;
    link_init(&link);
    link_set_serial(&link, "/dev/ttyUSB7", "2400");
    EXPECT_EQ(poll_link_name(&link), "/dev/ttyUSB7");
    link_set_tcp(&link, "192.0.2.4", LINK_TCP_PORT);
    EXPECT_EQ(poll_link_name(&link), "192.0.2.4 port 2027");
    link_set_usb(&link, 0xFFFF, 0x0000, false);
    EXPECT_EQ(poll_link_name(&link), "USB ffff:0000");
}

// A device that is not there: every move is a failed open, the first one
// says so at once, the fourth gives the unit up (as four silent replies
// would), and nothing is counted for a link or a unit not configured.
TEST(PollMove, FailedOpensSayWhyAtOnceAndLoseTheUnitAfterFour)
{
    LinkPort link;
    link_init(&link);
    link_set_serial(&link, "/nonexistent/ttyUPS", "2400");
    PollState state;
    PollSilence silence;
    static MachineContext unit;
    machine_setup(&unit, KIND_LOCAL_SINGLE, 1);
    checks = 0;
    std::string out = lines_of([&] {
        for (int i = 0; i < 4; i++) {
            EXPECT_EQ(poll_move(&link, &state, &unit, i * 0.5, count_check, nullptr),
                      POLL_REOPENED);
            EXPECT_EQ(machine_fail_count(&unit), i + 1);
            poll_silence_after_move(&silence, &link, &unit, POLL_REOPENED, i * 0.5);
        }
    });
    EXPECT_EQ(checks, 4);
    EXPECT_EQ(machine_connected(&unit), 0);
    EXPECT_EQ(out, "upsagent: unit 1 on /nonexistent/ttyUPS has not answered since start: no such "
                   "device\n");

    LinkPort none;
    link_init(&none);
    machine_setup(&unit, KIND_LOCAL_SINGLE, 1);
    out = lines_of([&] {
        poll_move(&none, &state, &unit, 10, count_check, nullptr);
        poll_silence_after_move(&silence, &none, &unit, POLL_REOPENED, 10);
    });
    EXPECT_EQ(machine_fail_count(&unit), 0) << "no link configured: nothing to count";
    machine_setup(&unit, KIND_NONE, 1);
    PollSilence fresh;
    out += lines_of([&] {
        poll_move(&link, &state, &unit, 11, count_check, nullptr);
        poll_silence_after_move(&fresh, &link, &unit, POLL_REOPENED, 11);
    });
    EXPECT_EQ(machine_fail_count(&unit), 0) << "no unit configured: nothing to count";
    EXPECT_EQ(out, "");
}

// A line that opens but where nothing answers: "no reply" at the first
// unanswered request; the unit answering at last is one line more.
TEST(PollMove, ALineWithoutAUnitIsNoReplyUntilItAnswers)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    std::string slave = ptsname(master);
    LinkPort link;
    link_init(&link);
    link_set_serial(&link, slave.c_str(), "2400");
    PollState state;
    PollSilence silence;
    static MachineContext unit;
    machine_setup(&unit, KIND_LOCAL_SINGLE, 1);
    double t = 0;
    auto move = [&] {
        int m = poll_move(&link, &state, &unit, t, count_check, nullptr);
        poll_silence_after_move(&silence, &link, &unit, m, t);
        t += 0.5;
        return m;
    };
    std::string out = lines_of([&] {
        EXPECT_EQ(move(), POLL_REOPENED);
        EXPECT_EQ(move(), POLL_SENT);
        EXPECT_EQ(move(), POLL_LOST);
    });
    EXPECT_EQ(out, "upsagent: unit 1 on " + slave + " has not answered since start: no reply\n");

    out = lines_of([&] {
        for (int i = 0; i < 3; i++) { // reopen, send, silence again: within the minute
            if (link_is_up(&link) == 0)
                move();
            move();
            move();
        }
    });
    EXPECT_EQ(out, "");

    out = lines_of([&] {
        if (link_is_up(&link) == 0)
            move();
        EXPECT_EQ(move(), POLL_SENT);
        const char reply[] = "(230.0 230.0 230.0 025 50.0 2.25 30.0 00000000\r";
        ASSERT_EQ(write(master, reply, sizeof reply - 1), static_cast<ssize_t>(sizeof reply - 1));
        ASSERT_TRUE(link_wait(&link, 2000)) << "the reply through the pseudo-terminal";
        EXPECT_NE(move(), POLL_LOST);
    });
    EXPECT_EQ(out, "upsagent: unit 1 on " + slave + " answers now\n");
    link_close(&link);
    close(master);
}

// Once a minute at most while it lasts, with the reason of the moment;
// nothing after the unit answered, and nothing about a unit that answered
// before anything was said.
TEST(PollSilence, OneLineAMinuteThenOneWhenItAnswers)
{
    PollSilence s;
    std::string out = lines_of([&] {
        poll_silence_note(&s, 2, "/dev/ttyS1", false, nullptr, 0);   // a send: nothing failed
        poll_silence_note(&s, 2, "/dev/ttyS1", false, "no such device", 1);
        poll_silence_note(&s, 2, "/dev/ttyS1", false, "no such device", 30);
        poll_silence_note(&s, 2, "/dev/ttyS1", false, "no reply", 60.9);
        poll_silence_note(&s, 2, "/dev/ttyS1", false, "no reply", 61);
        poll_silence_note(&s, 2, "/dev/ttyS1", false, "no reply", 100);
        poll_silence_note(&s, 2, "/dev/ttyS1", true, nullptr, 110);
        poll_silence_note(&s, 2, "/dev/ttyS1", false, "no reply", 300);
        poll_silence_note(&s, 2, "/dev/ttyS1", true, nullptr, 301);
    });
    EXPECT_EQ(out, "upsagent: unit 2 on /dev/ttyS1 has not answered since start: no such device\n"
                   "upsagent: unit 2 on /dev/ttyS1 has not answered since start: no reply\n"
                   "upsagent: unit 2 on /dev/ttyS1 answers now\n");
    PollSilence quiet;
    out = lines_of([&] { poll_silence_note(&quiet, 1, "/dev/ttyS0", true, nullptr, 5); });
    EXPECT_EQ(out, "");
}

} // namespace
