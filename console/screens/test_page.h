// The UPS test page (SCREEN_TEST): three buttons that queue a self test, a
// test until the battery is low, or the cancelling of a test for the daemon
// on unit 1's context, and unit 1's test status.
#pragma once

#include <string>

// Makes the page's window and its 10 widgets and registers the page as
// SCREEN_TEST, the self-test button focused. Call once at start-up, with
// curses up.
void test_build(int col, int row, int width, int height);

// The UPS command (ups_command) of button `index` of the widget table (4, 5
// or 6): its bytes, carriage return included. Empty for any other index.
std::string test_command(int index);

// The page's key handler, as the key thread calls it while the page is
// current (key bytes of screen.h). Needs test_build first.
void test_key(int key_byte);

// The widget table index of the focused button (4, 5 or 6).
int test_focus();

// The text and colour pair of the test status line for unit 1's test
// status character: "Test in progress" in pair 9 when it is '1', else
// "No Test" in pair 3.
const char *test_status_text(char test_status, int *pair);
