#include "agent/actions.h"

#include <gtest/gtest.h>

#include <fstream>

#include "store/settings.h"
#include "tests/spawn_recorder.h"
#include "tests/tempdir.h"

namespace {

using Argv = std::vector<std::string>;

class Actions : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine_setup(&unit1, KIND_LOCAL_SINGLE, 1);
        actions_init(&unit1);
    }
    void TearDown() override { actions_init(nullptr); }

    // Settings with the three delays (minutes).
    void delays(int ac_fail, int battery_low, int ups_shutdown)
    {
        settings_load(dir.path);
        settings_save("Local-Single", "RS232", "/dev/null", "", std::to_string(ac_fail).c_str(),
                      std::to_string(battery_low).c_str(), std::to_string(ups_shutdown).c_str(),
                      "1", "2400");
    }
    std::string pending()
    {
        MachineValues v;
        machine_values(&unit1, &v);
        std::string p(v.pending, v.pending_len);
        machine_setup(&unit1, KIND_LOCAL_SINGLE, 1);
        return p;
    }

    TempProgramDir dir;
    SpawnRecorder rec;
    MachineContext unit1{};
};

const Argv cancel = {"shutdown", "-c", "Cancel shut down command"};

Argv halt(int minutes)
{
    char when[16], message[64];
    snprintf(when, sizeof when, "+%d", minutes);
    snprintf(message, sizeof message, "System will shut down after %d mins.", minutes);
    return {"shutdown", "-h", when, message};
}

TEST_F(Actions, DefaultsMainsFailAndReturn)
{
    delays(10, 1, 2);
    status_action(7, '1');
    EXPECT_EQ(spawned(), std::vector<Argv>{halt(10)});
    EXPECT_EQ(pending(), "S12R0001\r");
    status_action(7, '0');
    EXPECT_EQ(spawned(), (std::vector<Argv>{halt(10), cancel}));
    EXPECT_EQ(pending(), "C\r");
}

TEST_F(Actions, DefaultsBatteryLowAndNormal)
{
    delays(10, 1, 2);
    status_action(6, '1');
    EXPECT_EQ(spawned(), std::vector<Argv>{halt(1)});
    EXPECT_EQ(pending(), "S03R0001\r");
    status_action(6, '0');
    EXPECT_EQ(spawned().back(), cancel);
    EXPECT_EQ(pending(), "C\r");
}

TEST_F(Actions, NoHostShutdownWhenMainsDelayIsZero)
{
    delays(0, 1, 2);
    status_action(7, '1');
    EXPECT_TRUE(spawned().empty());
    EXPECT_EQ(pending(), "S02R0001\r");
    status_action(7, '0');
    EXPECT_TRUE(spawned().empty());
    EXPECT_EQ(pending(), "C\r");
}

TEST_F(Actions, NoUpsCommandForMainsWhenUpsDelayIsZeroButStillForBattery)
{
    delays(10, 1, 0);
    status_action(7, '1');
    EXPECT_EQ(spawned(), std::vector<Argv>{halt(10)});
    EXPECT_EQ(pending(), "");
    status_action(7, '0');
    EXPECT_EQ(spawned().back(), cancel);
    EXPECT_EQ(pending(), "");
    status_action(6, '1');
    EXPECT_EQ(pending(), "S01R0001\r");
}

TEST_F(Actions, BatteryDelayZeroDoesNothing)
{
    delays(10, 0, 2);
    status_action(6, '1');
    status_action(6, '0');
    EXPECT_TRUE(spawned().empty());
    EXPECT_EQ(pending(), "");
}

TEST_F(Actions, HundredMinutesOrMoreHaveThreeDigits)
{
    delays(98, 1, 2);
    status_action(7, '1');
    EXPECT_EQ(pending(), "S100R0001\r");
}

TEST_F(Actions, OtherPositionsDoNothing)
{
    delays(10, 1, 2);
    for (int p : {0, 1, 2, 3, 4, 5, 8})
        status_action(p, '1');
    EXPECT_TRUE(spawned().empty());
    EXPECT_EQ(pending(), "");
}

} // namespace
