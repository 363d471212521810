#include "base/log.h"

#include <string>

#include <gtest/gtest.h>

// What a line becomes, by level, with and without debug lines and the
// journal's priority prefix.
TEST(Log, LevelsDebugAndJournalPrefix)
{
    struct Row {
        bool debug, journal;
        int level;
        const char *text, *printed;
    } rows[] = {
        {false, false, LOG_LEVEL_ERROR, "a: b", "a: b\n"},
        {false, false, LOG_LEVEL_NOTICE, "a: b\n", "a: b\n"}, // no second newline
        {false, false, LOG_LEVEL_DEBUG, "trace", ""},
        {true, false, LOG_LEVEL_DEBUG, "trace", "trace\n"},
        {false, true, LOG_LEVEL_WARNING, "w", "<4>w\n"},
        {true, true, LOG_LEVEL_DEBUG, "d", "<7>d\n"},
        {false, true, LOG_LEVEL_INFO, "", "<6>\n"},
    };
    for (const Row &r : rows) {
        log_configure(r.debug, r.journal);
        testing::internal::CaptureStdout();
        log_line(r.level, "%s", r.text);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.printed) << r.text;
    }
    log_configure(false, false);
    testing::internal::CaptureStdout();
    log_error("%s", std::string(3000, 'x').c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LE(out.size(), 1024u);
    EXPECT_EQ(out.back(), '\n') << "a long line is cut, and still ends its line";
}
