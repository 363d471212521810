// The final power-off's decisions: the state file's lines, the stages, and
// the bytes it sends.
#include "agent/killpower.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/machine.h"

namespace {

struct StateCase {
    const char *what;
    std::string data;
    bool ok;          // taken
    const char *boot; // when taken
    long long host;
};

TEST(Killpower, StateLinesAreTakenByTheirFirstWordAndADamagedFileIsRefused)
{
    const std::string id = "0b0c3c5e-2f5a-4f4e-9d51-3f1c2a7e6b10";
    const StateCase cases[] = {
        {"as the daemon writes it", "boot " + id + "\nhost 1796717400\nups 1796717520\n"
                                    "held 10000000\nunit1 100000001\n", true, id.c_str(),
         1796717400},
        {"no host shutdown", "boot " + id + "\nhost 0\nups 0\nheld 00000000\n", true, id.c_str(),
         0},
        {"other lines in any order, unknown ones too",
         "later 1 2 3\nhost 5\nunit2 000000001\nboot " + id + "\n", true, id.c_str(), 5},
        {"CR LF line ends", "boot " + id + "\r\nhost 7\r\n", true, id.c_str(), 7},
        {"no boot line", "host 1796717400\nups 0\n", false, "", 0},
        {"no host line", "boot " + id + "\nups 0\n", false, "", 0},
        {"host line cut short", "boot " + id + "\nhost 17967", false, "", 0},
        {"host not a number", "boot " + id + "\nhost soon\n", false, "", 0},
        {"negative host", "boot " + id + "\nhost -5\n", false, "", 0},
        {"host too large", "boot " + id + "\nhost 99999999999999999999\n", false, "", 0},
        {"host twice", "boot " + id + "\nhost 0\nhost 5\n", false, "", 0},
        {"boot twice", "boot " + id + "\nboot x\nhost 5\n", false, "", 0},
        {"boot of two words", "boot a b\nhost 5\n", false, "", 0},
        {"empty boot", "boot \nhost 5\n", false, "", 0},
        {"a NUL byte", "boot " + id + "\nhost 5\n" + std::string(1, '\0') + "\n", false, "", 0},
        {"empty file", "", false, "", 0},
    };
    for (const StateCase &c : cases) {
        KillpowerState s{"unchanged", -1};
        EXPECT_EQ(killpower_read_state(c.data.data(), static_cast<int>(c.data.size()), &s), c.ok)
            << c.what;
        if (c.ok) {
            EXPECT_EQ(s.boot, c.boot) << c.what;
            EXPECT_EQ(s.host, c.host) << c.what;
        } else {
            EXPECT_EQ(s.boot, "unchanged") << c.what << ": a refused file leaves the state";
        }
    }
}

TEST(Killpower, OnlyPowerOffAndHaltTurnTheUpsOff)
{
    EXPECT_TRUE(killpower_stage_acts(nullptr));
    EXPECT_TRUE(killpower_stage_acts("poweroff"));
    EXPECT_TRUE(killpower_stage_acts("halt"));
    for (const char *stage : {"reboot", "kexec", "", "Poweroff", "poweroff "})
        EXPECT_FALSE(killpower_stage_acts(stage)) << stage;
}

TEST(Killpower, MachineModesMapAsTheDaemonsDo)
{
    EXPECT_EQ(machine_kind_of_mode("Local-Single"), KIND_LOCAL_SINGLE);
    EXPECT_EQ(machine_kind_of_mode("Local-Multiple"), KIND_LOCAL_MULTIPLE);
    EXPECT_EQ(machine_kind_of_mode("Remote-Single"), KIND_REMOTE);
    EXPECT_EQ(machine_kind_of_mode("Remote-Multiple"), KIND_REMOTE);
    EXPECT_EQ(machine_kind_of_mode(""), -1);
    EXPECT_EQ(machine_kind_of_mode("local-single"), -1);
}

// The request is what a unit 1 that the daemon polls gets for the same
// command: its cycle's status query, the reply, then the command step.
TEST(Killpower, RequestIsWhatTheDaemonsCommandStepSendsUnitOne)
{
    for (int kind : {KIND_LOCAL_SINGLE, KIND_LOCAL_MULTIPLE}) {
        MachineContext unit;
        machine_setup(&unit, kind, 1);
        const char command[] = "S01R0001\r";
        ASSERT_EQ(machine_queue_control(&unit, command, 9), 1);
        unsigned char out[MACHINE_PENDING_SIZE];
        int count = 0;
        machine_build_request(&unit, out, &count); // the status query
        machine_next_step(&unit, 1);
        const char reply[] = "(230.0 229.0 231.0 025 50.0 2.25 25.0 00000000\r";
        ASSERT_EQ(machine_parse_reply(&unit, reinterpret_cast<const unsigned char *>(reply), 47),
                  1);
        machine_next_step(&unit, 1);
        count = 0;
        machine_build_request(&unit, out, &count);
        std::string sent(reinterpret_cast<char *>(out), count);
        EXPECT_EQ(sent, "S01R0001\r") << "kind " << kind;
        EXPECT_EQ(killpower_request(kind), sent) << "kind " << kind;
    }
}

} // namespace
