#include "store/event_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "store/paths.h"
#include "store/textfile.h"
#include "store/write_report.h"
#include "tests/tempdir.h"

namespace {

std::vector<std::string> lines_of(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

class EventLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    TempProgramDir dir;
    std::string path() { return dir.path + "DataBase/Event.ang"; }
    // 2026/12/07 10:00:00 UTC plus `i` seconds.
    static time_t at(int i) { return 1796637600 + i; }
};

TEST_F(EventLog, LineIsThirtyBytesAtFixedColumns)
{
    char line[EVENT_LINE_LEN + 1];
    event_log_format(line, at(5), 2, 7, '1', '0');
    EXPECT_STREQ(line, "2026/12/07 10:00:05 02 07 1 0\n");
}

TEST_F(EventLog, ThousandAndFirstAppendDropsTheOldestLine)
{
    for (int i = 0; i < 1000; i++)
        event_log_append_at(at(i), 1, 8, (i % 2) ? '0' : '1', '0');
    std::vector<std::string> lines = lines_of(path());
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(lines.front().substr(0, 19), "2026/12/07 10:00:00");

    event_log_append_at(at(1000), 3, 7, '1', '1');
    lines = lines_of(path());
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(lines.front().substr(0, 19), "2026/12/07 10:00:01");
    EXPECT_EQ(lines.back(), "2026/12/07 10:16:40 03 07 1 1");
}

// Sets the process's file-size limit (SIGXFSZ ignored, as in the daemon).
void limit_file_size(rlim_t bytes)
{
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit r = {bytes, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &r);
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// An append over the file-size limit leaves no half line and is one line
// until an append succeeds; a trim that cannot write its new file says so
// once and is done at the first append that can.
TEST_F(EventLog, FailingWritesAreReportedOnceAndRecover)
{
    write_report_reset();
    for (int i = 0; i < 1000; i++)
        event_log_append_at(at(i), 1, 8, '1', '0');
    testing::internal::CaptureStdout();
    limit_file_size(1000 * EVENT_LINE_LEN + 12); // room for 12 bytes of the next line
    event_log_append_at(at(1000), 1, 8, '0', '0');
    event_log_append_at(at(1001), 1, 8, '1', '0');
    limit_file_size(RLIM_INFINITY);
    EXPECT_EQ(lines_of(path()).size(), 1000u) << "the cut line is taken back";
    struct stat st;
    ASSERT_EQ(stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1000 * EVENT_LINE_LEN);

    // The trim's temporary file cannot be made (its name fixed for the test).
    write_file_fixed_letters("test");
    ASSERT_EQ(mkdir((path() + ".newtest").c_str(), 0700), 0);
    event_log_append_at(at(1002), 2, 7, '1', '0');
    event_log_append_at(at(1003), 2, 7, '0', '0');
    std::vector<std::string> kept = lines_of(path());
    ASSERT_EQ(kept.size(), 1004u) << "appends go on while the trim fails";
    EXPECT_EQ(kept[1000], "2026/12/07 10:16:40 01 08 0 0") << "the lines held back come first";
    EXPECT_EQ(kept[1001], "2026/12/07 10:16:41 01 08 1 0");
    rmdir((path() + ".newtest").c_str());
    write_file_fixed_letters(nullptr);
    event_log_append_at(at(1004), 3, 7, '1', '0');
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines = lines_of(path());
    ASSERT_EQ(lines.size(), 1000u) << "the trim retried at the next append";
    EXPECT_EQ(lines.back(), "2026/12/07 10:16:44 03 07 1 0");
    EXPECT_EQ(count(out, "cannot write " + path() + ": File too large"), 1u) << out;
    EXPECT_EQ(count(out, "cannot write " + path() + " (trim"), 1u) << out;
    EXPECT_EQ(count(out, path() + " is written again"), 1u) << out;
    EXPECT_EQ(count(out, " (trim to the newest lines) is written again"), 1u) << out;
    EXPECT_EQ(count(out, "\n"), 4u) << out;
}

// While the log cannot be written at all, its lines wait in order, the
// newest thousand of them; the flush that can write them says how many went.
TEST_F(EventLog, LinesHeldBackAreWrittenInOrderOnceTheLogCanBe)
{
    write_report_reset();
    ensure_database_dir();
    ASSERT_EQ(mkdir(path().c_str(), 0700), 0); // the log's name taken by a folder
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1003; i++)
        event_log_append_at(at(i), 1 + i % 4, i % 9, '1', '0');
    EXPECT_FALSE(event_log_flush());
    ASSERT_EQ(rmdir(path().c_str()), 0);
    EXPECT_TRUE(event_log_flush());
    EXPECT_TRUE(event_log_flush()) << "nothing left";
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines = lines_of(path());
    ASSERT_EQ(lines.size(), 1000u);
    char line[EVENT_LINE_LEN + 1];
    for (int i = 3; i < 1003; i++) {
        event_log_format(line, at(i), 1 + i % 4, i % 9, '1', '0');
        ASSERT_EQ(lines[i - 3] + "\n", line) << i;
    }
    EXPECT_EQ(count(out, "upsagent: 3 event lines were lost while " + path()), 1u) << out;
    EXPECT_EQ(count(out, "\n"), 3u) << out; // cannot write, lost, written again
}

TEST_F(EventLog, OverlongFileIsTrimmedToTheNewestThousand)
{
    ensure_database_dir();
    {
        std::ofstream out(path());
        char line[EVENT_LINE_LEN + 1];
        for (int i = 0; i < 1500; i++) {
            event_log_format(line, at(i), 1, 2, '1', '0');
            out << line;
        }
    }
    event_log_append_at(at(1500), 4, 4, '0', '0');
    std::vector<std::string> lines = lines_of(path());
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(lines.front().substr(0, 19), "2026/12/07 10:08:21"); // line 502 of 1501
    EXPECT_EQ(lines.back().substr(20), "04 04 0 0");
}

// Lines of other widths and a cut-off last line: the trim keeps whole
// lines, and the newest event stays a line of its own the reader finds.
TEST_F(EventLog, TrimCountsLinesWhateverTheirWidths)
{
    ensure_database_dir();
    {
        std::ofstream out(path());
        char line[EVENT_LINE_LEN + 1];
        for (int i = 0; i < 1000; i++) {
            event_log_format(line, at(i), 1, 2, '1', '0');
            out << (i % 100 == 7 ? "x\n" : i % 100 == 8 ? std::string(70, 'y') + "\n" : line);
        }
        out << "2026/12/07 10:2"; // a write cut short
    }
    event_log_append_at(at(5000), 4, 7, '1', '0');
    std::vector<std::string> lines = lines_of(path());
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(lines[998], "2026/12/07 10:2");
    EXPECT_EQ(lines.back(), "2026/12/07 11:23:20 04 07 1 0");
    // 1002 lines less the 2 oldest; of those, 20 and the cut one are not 30 wide.
    ASSERT_EQ(event_log_load(), 1000 - 20 - 1);
    ASSERT_EQ(event_log_select_month(2026, 12), 979);
    EventEntry e;
    ASSERT_TRUE(event_log_selected(978, &e));
    EXPECT_STREQ(e.unit, "04");
    EXPECT_EQ(e.code, 7);
}

TEST_F(EventLog, ReaderTakesWholeLinesOnlyAndNamesEvents)
{
    ensure_database_dir();
    std::ofstream(path()) << "2026/11/30 23:59:59 01 07 1 0\n"  // other month
                          << "2026/12/01 00:00:01 01 05 1 1\n"
                          << "2026/12/01 00:00:02 02 05 1 0\n"
                          << "short line\n"
                          << "2026/12/01 00:00:03 02 05 0 1\n"
                          << "2026/12/02 08:00:00 03 06 0 0\n"
                          << "2026/12/02 08:00:01 03 08 7 0\n"
                          << "2026/12/02 08:00:02 03 12 1 0\n"
                          << "2026/12/03 08:";                  // partial last line
    EXPECT_EQ(event_log_load(), 7);
    ASSERT_EQ(event_log_select_month(2026, 12), 6);
    EventEntry e;
    ASSERT_TRUE(event_log_selected(0, &e));
    EXPECT_STREQ(e.display, "2026/12/01  00:00:01  01       In AVR mode");
    event_log_selected(1, &e);
    EXPECT_STREQ(e.display, "2026/12/01  00:00:02  02       Bypass");
    event_log_selected(2, &e);
    EXPECT_STREQ(e.display, "2026/12/01  00:00:03  02       Normal");
    event_log_selected(3, &e);
    EXPECT_STREQ(e.display, "2026/12/02  08:00:00  03       Battery capacity normal");
    event_log_selected(4, &e);
    EXPECT_STREQ(e.display, "") << "a state other than 0 or 1 has no text";
    event_log_selected(5, &e);
    EXPECT_STREQ(e.display, "2026/12/02  08:00:02  03       Unknown event");
    EXPECT_FALSE(event_log_selected(6, &e));
    EXPECT_EQ(event_log_select_month(2026, 11), 1);
    EXPECT_EQ(event_log_select_month(2025, 12), 0);
}

TEST_F(EventLog, MissingLogIsCreatedEmpty)
{
    EXPECT_EQ(event_log_load(), 0);
    EXPECT_EQ(event_log_select_month(2026, 12), 0);
    std::ifstream in(path());
    EXPECT_TRUE(in.good());
}

TEST(EventText, SetAndClearedTexts)
{
    EXPECT_STREQ(event_text(7, 1, 0), "AC Failed");
    EXPECT_STREQ(event_text(7, 0, 0), "AC Recovery");
    EXPECT_STREQ(event_text(8, 0, 1), "Disconnect");
    EXPECT_STREQ(event_text(5, 1, 1), "In AVR mode");
    EXPECT_STREQ(event_text(5, 1, 0), "Bypass");
    EXPECT_STREQ(event_text(6, 0, 0), "Battery capacity normal");
    EXPECT_STREQ(event_text(9, 1, 0), "Shutdown call failed");
    EXPECT_STREQ(event_text(9, 0, 0), "Shutdown call works");
    EXPECT_STREQ(event_text(10, 1, 1), "UPS ignored a command");
    EXPECT_STREQ(event_text(10, 0, 1), "UPS took the command");
    EXPECT_EQ(event_text(EVENT_CODES, 1, 0), nullptr);
    EXPECT_EQ(event_text(1, 2, 0), nullptr);
}

// Every code's texts fit the page's row whole after date, time and unit,
// through the reader's display text.
TEST_F(EventLog, EveryTextFitsThePagesRow)
{
    ensure_database_dir();
    {
        std::ofstream out(path());
        for (int code = 0; code < EVENT_CODES; code++)
            for (int state = 0; state <= 1; state++)
                for (int type = 0; type <= 1; type++)
                    out << "2026/12/01 00:00:00 01 " << (code < 10 ? "0" : "") << code << " "
                        << state << " " << type << "\n";
    }
    ASSERT_EQ(event_log_load(), EVENT_CODES * 4);
    ASSERT_EQ(event_log_select_month(2026, 12), EVENT_CODES * 4);
    for (int i = 0; i < EVENT_CODES * 4; i++) {
        EventEntry e;
        ASSERT_TRUE(event_log_selected(i, &e));
        std::string text = event_text(e.code, e.new_state, e.type_flag);
        EXPECT_EQ(e.display, "2026/12/01  00:00:00  01       " + text) << e.code;
        EXPECT_LE(strlen(e.display), 69u) << "the page's row is 69 columns wide";
    }
}

} // namespace
