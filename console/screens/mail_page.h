// The mail setting page (SCREEN_MAIL): the mail server, the sender, the
// receivers and the events the daemon mails about. The page edits the mail
// store's record; "[Send Test]" mails the receivers at once, "[ Save ]"
// writes "Set/Mail.ang" and tells the daemon to reload it, "[Cancel]" and
// Esc read the file back.
//
// The functions below are the page's rules, free of curses, so they can be
// checked on their own.
#pragma once

#include <string>

#include "store/mail.h"

// Makes the page's window (width x height at col, row), its widgets and
// their neighbours, focuses "MAIL SERVER"; registers SCREEN_MAIL. Call once
// at start-up, with curses running; the mail store is read by mail_init.
void mail_page_build(int col, int row, int width, int height);

// The page's key handler, as the key thread calls it while the page is
// current (key bytes of screen.h). Needs mail_page_build first.
void mail_page_key(int key_byte);

// Widget table indices of the focusable fields, event rows and buttons.
enum {
    MAIL_PAGE_SERVER = 11,
    MAIL_PAGE_SENDER = 12,
    MAIL_PAGE_RECEIVERS = 13,
    MAIL_PAGE_FIRST_ROW = 14, // "Utility Fail"
    MAIL_PAGE_LAST_ROW = 20,  // "Connect UPS"
    MAIL_PAGE_SEND_TEST = 21,
    MAIL_PAGE_SAVE = 22,
    MAIL_PAGE_CANCEL = 23,
};

// The index into mail_events of the flag an event row (14..20) shows; -1
// for any other widget.
int mail_page_flag_index(int widget);

// The 70-character text of event row `widget` (14..20) for the flags in
// `events`: "[ Enable  ]" when its flag is '1', else "[ Disable ]". Empty
// for any other widget.
std::string mail_page_row_text(int widget, const char *events);

// Enter on event row `widget`: its flag '0' becomes '1', anything else '0'.
// Other widgets, and so flags 0 and 3, are never changed.
void mail_page_toggle(char *events, int widget);

// The input box's text for field `focus` (server, sender or receivers) into
// `settings`, cut to the field. Control characters (arrow keys pressed in
// the box) are dropped. Other widgets ignore it.
void mail_page_input(MailSettings *settings, int focus, const char *text);

// "[Send Test]": mails "Test Mail" as unit 1 to every receiver when server,
// sender and receivers are all set; returns the message the page shows.
const char *mail_page_send_test(const MailSettings &settings);
