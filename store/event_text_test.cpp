#include "store/event_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

// The notices say what the event log page says, but for the one word the
// notices have always written otherwise and the two codes never notified;
// the decision's reports (9, 10) are notified with the page's words.
TEST(EventText, NoticesUseThePagesWordsButOne)
{
    for (int code = 0; code < EVENT_CODES; code++)
        for (int state = 0; state <= 1; state++)
            for (int type = 0; type <= 1; type++) {
                const char *notice = event_notice_text(code, state ? '1' : '0', type ? '1' : '0');
                const char *page = event_text(code, state, type);
                ASSERT_NE(page, nullptr) << code;
                if (code == 0 || code == 3)
                    EXPECT_EQ(notice, nullptr) << code;
                else if (code == 6 && state == 0)
                    EXPECT_STREQ(notice, "Battery Capacity normal");
                else
                    EXPECT_STREQ(notice, page) << code << " " << state << " " << type;
            }
    EXPECT_EQ(event_notice_text(-1, '1', '0'), nullptr);
    EXPECT_EQ(event_notice_text(EVENT_CODES, '1', '0'), nullptr);
    EXPECT_STREQ(event_notice_text(7, '?', '0'), "AC Recovery") << "anything but '1' is cleared";
}

// Every code a setting page offers is one that is notified, each once.
TEST(EventText, ChoicesAreTheNotifiedCodesOnce)
{
    std::set<int> offered;
    for (int row = 0; row < EVENT_CHOICE_ROWS; row++) {
        int code = event_choice_code(row);
        ASSERT_NE(event_notice_text(code, '1', '0'), nullptr) << row;
        offered.insert(code);
        EXPECT_EQ(event_choice_text(row, "111111111").size(), 70u) << row;
        EXPECT_LT(code, 9) << "a code of the nine-character flag text";
    }
    EXPECT_EQ(offered.size(), static_cast<size_t>(EVENT_CHOICE_ROWS));
    EXPECT_EQ(event_choice_code(-1), -1);
    EXPECT_EQ(event_choice_code(EVENT_CHOICE_ROWS), -1);
    EXPECT_EQ(event_choice_text(EVENT_CHOICE_ROWS, "111111111"), "");
    char flags[] = "0000";
    event_choice_toggle(flags, 0); // code 7: past the end
    EXPECT_STREQ(flags, "0000");
}

} // namespace
