// The two popups every page shares: the input box, which edits one line of
// text, and the list popup, which picks one item of a list. A page opens one
// by setting it up and switching to it; the result goes to the page's
// receiver (on_input_text, on_list_choice), and Esc returns without one.
#pragma once

#include <string>

constexpr int INPUT_BOX_MAX = 174;   // characters that can be typed
constexpr int LIST_POPUP_ROWS = 6;   // items visible at once

// Makes the input box (a window of width x height at col, row) and
// registers it as SCREEN_INPUT_BOX.
void new_input_box(int col, int row, int width, int height);

// The three prompt lines.
void input_box_prompt(const char *line1, const char *line2, const char *line3);

// The text to edit (at most 255 characters).
void input_box_preset(const char *text);

// The text being edited.
const char *input_box_text();

// `text` without control characters (a preset text may hold them; typed
// control bytes are never taken).
std::string input_box_printable(const char *text);

// Rows of the edit area as last drawn: one for up to 57 characters, two
// from 58, three from 116.
int input_box_edit_rows();

// Acts on a key byte as the input box does: Enter reports the text and
// returns, Esc returns, Backspace (also DEL and Ctrl-H, which terminals send
// for it) removes the last character, another control byte (an arrow key's)
// is ignored, any other byte is appended while fewer than 174 are held.
// Returns true when the box needs a redraw.
bool input_box_key(int key_byte);

// Makes the list popup and registers it as SCREEN_LIST_POPUP.
void new_list_popup(int col, int row, int width, int height);

// Takes the items (owned by the opener, valid while the popup shows), their
// number (at least 1) and the index to select first.
void list_popup_open(const char *const *items, int count, int selected);

// Moves the selection by `delta`, scrolling the six rows.
void list_popup_move(int delta);

// The popup's state, for tests: selected index, first item shown, the
// highlighted row, and the text of row `row`.
int list_popup_selected();
int list_popup_top();
int list_popup_row();
const char *list_popup_row_text(int row);
