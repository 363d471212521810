// The SMS Setting page (SCREEN_SMS): edits the SMS store's record in place
// (gateway, account ID, API id, password, phone numbers and the seven event
// switches), sends a test message through the `sms` sender, saves
// "Set/SMS.ang" and has the daemon reload it with "RefreshSMS".
#pragma once

#include <string>

#include "store/event_text.h"
#include "store/sms.h"
#include "store/sms_gateway.h"

constexpr int SMS_PAGE_EVENT_ROWS = EVENT_CHOICE_ROWS; // the event switch rows, top to bottom

// What the page shows for one record, before clipping to the fields.
struct SmsPageView {
    std::string gateway;     // gateway host name, or "(unknown gateway)"
    std::string api_caption; // "api_id:" except for gateway 0, where it is empty
    std::string id;          // the account ID
    std::string api_id;      // the API id ("" for gateway 0)
    std::string password;    // always fourteen asterisks: the password is never shown
    std::string phones;      // the phone list
    std::string rows[SMS_PAGE_EVENT_ROWS]; // 70-character "[ Enable  ]"/"[ Disable ]" rows
};

// Builds the page in a window of width x height at (col, row), registers it
// as SCREEN_SMS and puts the focus on the gateway field. Needs curses.
void sms_page_build(int col, int row, int width, int height);

// The page's key handler, as the key thread calls it while the page is
// current (key bytes of screen.h). Needs sms_page_build first.
void sms_page_key(int key_byte);

// The name the page gives gateway `index` (0-based): the host of its URL
// template, or a note naming the line of "Set/SMSGateway.ang" that holds no
// usable URL.
std::string sms_page_gateway_name(const std::string &url_template, int index);

// The texts the page shows for `s`, with `names` the two gateway names (in
// gateway index order). A gateway value other than 0 or 1 shows as
// "(unknown gateway)".
SmsPageView sms_page_view(const SmsSettings &s, const std::string names[SMS_GATEWAY_COUNT]);

// Why Send Test must not start: nullptr when the texts the gateway needs
// are there (gateway 0: ID, password, phones; gateway 1: also the API id),
// else the message the page shows. A gateway other than 0 or 1 is refused.
const char *sms_page_test_refusal(const SmsSettings &s);

// Flips the event switch of row `row` (0..6, top to bottom): '0' becomes
// '1', any other character '0'. Flags 0 and 3 have no row and never change;
// another row number changes nothing.
void sms_page_toggle_row(SmsSettings *s, int row);
