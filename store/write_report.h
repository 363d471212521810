// Reports of failing writes: a file that cannot be written (a full disk, a
// file-size limit, a folder gone) gets one line when its writes start to
// fail and one when a write of it succeeds again, however often the writer
// tries in between. The callers go on with their work either way. Reads
// refused for what the file is (a symbolic link, a FIFO or device, too
// large) are reported the same way, one line per file.
#pragma once

#include <cerrno>
#include <string>

// The errno of an open that found something other than a regular file at
// the name (a FIFO, a device, a socket, a folder). Linux has no errno of its
// own for it; this one is not otherwise given by file opens.
constexpr int FILE_NOT_REGULAR = EMEDIUMTYPE;

// The reason `err` as a report says it: the refusals (ELOOP: a symbolic
// link; FILE_NOT_REGULAR) in words of their own, any other errno as
// strerror says it.
const char *file_error_text(int err);

// Notes the outcome of one write of `path`. When `ok` is false, `err` is the
// errno of the failure and `what` says what goes on meanwhile (printed after
// the reason); the first failure after a success prints one line. When `ok`
// is true after a failure, one line says the file is written again.
// Returns `ok`. Safe from any thread.
bool write_report(const std::string &path, bool ok, int err, const char *what = nullptr);

// The same for one read of `path` refused for what the file is (`err`:
// ELOOP, FILE_NOT_REGULAR, or EFBIG for a file over the reader's limit):
// the first refusal after a good read prints one line naming the file and
// the reason, a good read after refusals one line saying it is read again.
// Returns `ok`. Safe from any thread.
bool read_report(const std::string &path, bool ok, int err);

// Forgets every failing file (tests).
void write_report_reset();
