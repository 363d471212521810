// Small helpers every file store uses. Files are read whole into a buffer and
// cut into newline-terminated lines (settings, mail, SMS) or into fixed-width
// slices addressed by 1-based columns (schedule, event log).
//
// Every open below goes through open_regular: relative to a descriptor of
// the file's folder, never through a symbolic link at the file's name, never
// blocking on or writing into a FIFO or device put there. Files that are
// refused for what they are (ELOOP, FILE_NOT_REGULAR of write_report.h, EFBIG
// for a read over its limit) are reported through write_report/read_report:
// one line per file, not per try.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

// Copies `length` characters from 1-based column `start` of `text` into
// `out` (room for `out_size` bytes, NUL included) and terminates it. Stops
// early at the end of `text` and cuts at `out_size` - 1; a length of 0 or
// less, or a start before column 1, gives an empty `out`.
void copy_field(const char *text, int start, int length, char *out, int out_size);

// Copies the bytes of `data` from `pos` up to the next "\n" into `out` (cut
// at `out_size` - 1, always terminated), without a "\r" just before the
// "\n": a file saved with CR LF line ends reads as one with LF. Returns the position just after the
// newline; 0 when no newline comes before `size` (then `out` holds the bytes
// up to `size`: an unterminated last line).
int read_line(char *out, int out_size, const char *data, int pos, int size);

// Takes the successive lines of `data` into fields[0..count-1] with
// read_line (each cut to sizes[i] - 1 characters). Stops at the end of the
// data, so a short file leaves the later fields as they were; a last line
// without its newline is taken. Returns the number of lines taken.
int read_lines(const char *data, int size, char *const fields[], const int sizes[], int count);

// What read_lines_whole does with a line that does not fit its field.
enum {
    LONG_LINE_REFUSED = 0, // the field is left empty: a cut address or phone number is another one
    LONG_LINE_CUT = 1,     // the field takes what fits: a cut text still reads, and the
                           // lines after it keep their places
};

// read_lines, but a line that does not fit its field gets one line on
// standard output naming `path`, the line's number and the width, and is
// refused whole or cut as `long_line` says.
int read_lines_whole(const std::string &path, const char *data, int size,
                     char *const fields[], const int sizes[], int count,
                     int long_line = LONG_LINE_REFUSED);

// True when `text` is a plausible mail address: one '@' between a non-empty
// local part and domain, no blanks, control characters, quotes or brackets.
bool plausible_address(const std::string &text);

// True when `text` is a plausible phone number: an optional leading '+',
// then 3 to 20 digits, blanks and dashes allowed between them.
bool plausible_phone(const std::string &text);

// The pieces of `text` between the `separator` characters: one more piece
// than separators ("a;b" gives 2, "a;" gives "a" and "", "" gives one empty
// piece).
std::vector<std::string> split_fields(const char *text, char separator);

// The slice (1-based `start`, `length`) converted as a base-10 integer:
// leading blanks and a sign allowed, conversion stops at the first
// non-digit, no digits gives 0.
int parse_int_field(const char *text, int start, int length);

// The text converted as parse_int_field converts a slice.
int parse_int_text(const char *text);

// Opens the regular file at `path` as open(2) would with `flags` and `mode`
// (O_CLOEXEC added), relative to a descriptor of its folder: a symbolic
// link at the name is not followed (-1, ELOOP) and anything but a regular
// file (a FIFO, device, socket, folder) is refused (-1, FILE_NOT_REGULAR)
// without blocking and, where seen before the open, without opening it.
// The folder part of the path is followed as given. Returns the descriptor
// (blocking, as usual), or -1 with errno set. A file it makes (O_CREAT) is
// made exclusively and, run as root, given to the folder's owner when that
// is not root (the daemon's own Set/ and DataBase/).
int open_regular(const std::string &path, int flags, int mode = 0);

// open_regular for appending whole lines (append_line_whole): read and
// write, O_APPEND, created with `mode` when missing.
int open_append_file(const std::string &path, int mode);

// The records of a file of fixed-width lines: the first `limit` bytes of
// the regular file at `path` (open_regular's rules), cut at each newline, and of those the lines that are
// `line_len` bytes long with their newline, without it, in file order and at
// most `max_lines` of them. Lines of other lengths are skipped (a hand edit,
// an older program), and so is a last line without its newline (a write
// cut short). A file that cannot be read gives none.
std::vector<std::string> read_fixed_lines(const std::string &path, int limit, int line_len,
                                          size_t max_lines);

// Number of whole records of `record_size` bytes in the file (a trailing
// partial record does not count), reading at most 65536 bytes. A missing
// file is created empty (0 records); a file that cannot be opened, or is
// refused by open_regular, counts 0.
int count_records(const std::string &path, int record_size);

// Reads the whole regular file (open_regular's rules) into `buf`, which has
// room for `size` bytes: the file's limit. Returns the number read (0 for an
// empty file); -1 when it cannot be opened or read (errno), is refused
// (ELOOP, FILE_NOT_REGULAR) or is larger than `size` (EFBIG: refused whole,
// never cut, since a line past the cut may be the one that matters). A
// refusal is reported by read_report, one line per file.
int read_file(const std::string &path, char *buf, int size);

// One line of a settings file that says something.
struct TextLine {
    int number;       // 1-based line number in the file
    std::string text; // without blanks around it and without CR LF
};

// The lines of `data` that are neither blank nor comments (first non-blank
// character '#'), numbered as in the file.
std::vector<TextLine> setting_lines(const char *data, int size);

// A file of "WORD VALUE" lines (at most 16 KiB) read whole: each line that
// says something is handed to `take(word, value)`, the value being the rest
// of the line after the blanks (empty when none). A line `take` refuses (a
// non-empty reason) is skipped after one line on standard output naming
// the file, the line's number and the reason. Returns the lines taken; 0
// for a missing file; -1 with errno set for one that exists but cannot be
// read (the caller says what holds then).
int read_word_lines(const std::string &path,
                    const std::function<std::string(const std::string &word,
                                                    const std::string &value)> &take);

// Reads a settings file of at most `size` bytes into `buf` (which then ends
// in a NUL: room for size + 1 bytes), as read_file does; when it is missing
// (and only then), creates it with `default_text` (mode 0600, its folder
// too) and reads that. Returns the bytes read; -1 when the file is refused
// (a link, not a regular file, larger than `size`: it is left as it is),
// cannot be read, or is missing and cannot be created.
int read_or_create(const std::string &path, char *buf, int size, const char *default_text);

// Writes all `len` bytes to `fd`, going on after short writes. Returns 0, or
// the errno of the write that failed (ENOSPC for one that wrote nothing);
// `*done` (when given) is the number of bytes written.
int write_all(int fd, const char *data, int len, int *done = nullptr);

// Appends `len` bytes of whole lines to the file open at `fd` (read and
// write, O_APPEND), so that no cut line is ever left in it: a last line
// without its newline (an earlier write cut short, a hand edit) gets one
// first, so the new text never joins it, and a write cut short (a full disk,
// a file-size limit) is taken back by cutting the file to its size before.
// Returns 0, or the errno of the write that failed (write_all's).
int append_line_whole(int fd, const char *data, int len);

// Replaces the file's contents by `len` bytes: written to a temporary file
// beside it ("NAME.new" and eight random letters, made with O_EXCL, so no
// name laid there beforehand is ever written through) and renamed over it,
// so a reader never sees half a file. `mode` applies (less the umask) to a
// newly created file; an existing file keeps its own mode, set on the new
// file's descriptor, and, run as root, its owner (a new file gets the
// folder's owner when that is not root). A symbolic link, FIFO or device at the name is refused
// (ELOOP, FILE_NOT_REGULAR) and left alone. Returns true on success; on
// failure the file is as it was and errno says why (ENOSPC, EFBIG...).
bool write_file(const std::string &path, const char *data, int len, int mode);

// Tests: the temporary names of write_file end in ".new" + `letters`
// instead of random letters (nullptr: random again), so a test can put
// something in the way.
void write_file_fixed_letters(const char *letters);

// Overwrites an existing file's contents by `len` bytes in place and cuts it
// there: for a small file on a full disk, where write_file's temporary file
// cannot be had but the file's own block can be reused. Not atomic against
// a reader. Returns true on success; false (errno set) when the file is
// missing, refused by open_regular or the write fails.
bool write_file_in_place(const std::string &path, const char *data, int len);

// The local time of `when` as "YYYY/MM/DD hh:mm:ss" (the time stamp of the
// event log and of the notices).
std::string time_stamp_text(time_t when);

// At most `limit` bytes of `data` for a diagnostic line: every byte outside
// printable ASCII becomes '.', so text from the network cannot forge lines
// or move a terminal's cursor.
std::string printable_text(const char *data, size_t len, size_t limit);

// Copies `text` into `out` (room for `out_size` bytes), cut to the width and
// at the first CR or LF: a stored value is one line of its file.
void copy_one_line(char *out, int out_size, const char *text);

// Pads a flag text with '0' characters to `count` flags and terminates it
// there (`flags` has room for count + 1 bytes).
void pad_flags(char *flags, int count);
