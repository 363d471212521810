// Reports of failing writes: a file that cannot be written (a full disk, a
// file-size limit, a folder gone) gets one line when its writes start to
// fail and one when a write of it succeeds again, however often the writer
// tries in between. The callers go on with their work either way.
#pragma once

#include <string>

// Notes the outcome of one write of `path`. When `ok` is false, `err` is the
// errno of the failure and `what` says what goes on meanwhile (printed after
// the reason); the first failure after a success prints one line. When `ok`
// is true after a failure, one line says the file is written again.
// Returns `ok`. Safe from any thread.
bool write_report(const std::string &path, bool ok, int err, const char *what = nullptr);

// Forgets every failing file (tests).
void write_report_reset();
