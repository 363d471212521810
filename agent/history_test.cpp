#include "agent/history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "tests/tempdir.h"

namespace {

class History : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        machine_setup(&unit, KIND_LOCAL_SINGLE, 2);
    }
    TempProgramDir dir;
    MachineContext unit{};
    static constexpr time_t before_midnight = 1796687999; // 2026/12/07 23:59:59 UTC
};

TEST_F(History, NewFileAfterLocalMidnight)
{
    EXPECT_EQ(history_path(2, before_midnight), dir.path + "DataBase/M220261207.ang");
    EXPECT_EQ(history_path(2, before_midnight + 1), dir.path + "DataBase/M220261208.ang");

    history_create_files(2, time(nullptr));
    history_append_at(&unit, before_midnight);
    history_append_at(&unit, before_midnight + 1);
    std::ifstream day1(dir.path + "DataBase/M220261207.ang");
    std::ifstream day2(dir.path + "DataBase/M220261208.ang");
    std::string line;
    ASSERT_TRUE(std::getline(day1, line));
    EXPECT_EQ(line.substr(0, 8), "23:59:59");
    ASSERT_TRUE(std::getline(day2, line));
    EXPECT_EQ(line.substr(0, 8), "00:00:00");
}

TEST_F(History, LineFormatAndWidths)
{
    unit.input_voltage = 230.0f;
    unit.input_fault_voltage = 0.0f;
    unit.output_voltage = 229.5f;
    unit.load_percent = 7.9f;
    unit.input_frequency = 50.0f;
    unit.battery_voltage = 2.25f;
    unit.temperature = 25.0f;
    MachineValues v;
    machine_values(&unit, &v);
    std::string line = history_line(v, before_midnight);
    EXPECT_EQ(line, "23:59:59 230.0 000.0 229.5 007 50.0 02.25 25.0\n");
    EXPECT_EQ(line.size(), 47u);
    v.input_voltage = 1234.5f;
    EXPECT_EQ(history_line(v, before_midnight).size(), 48u) << "wider values widen the line";
}

TEST_F(History, CreateFilesMakesTodaysFilesAndTheEventLog)
{
    history_create_files(3, time(nullptr));
    struct stat st;
    time_t now = time(nullptr);
    for (int u = 1; u <= 3; u++)
        EXPECT_EQ(stat(history_path(u, now).c_str(), &st), 0) << "unit " << u;
    EXPECT_NE(stat(history_path(4, now).c_str(), &st), 0);
    EXPECT_EQ(stat((dir.path + "DataBase/Event.ang").c_str(), &st), 0);
}

} // namespace
