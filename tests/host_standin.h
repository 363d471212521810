// The unit tests' stand-in for the host's shutdown: linked into every test
// of the daemon's modules, it replaces the host module's runner before any
// test runs, so no unit test can reach the platform's `shutdown`. Each call
// is recorded and ends well; the platform's pending shutdown is read from a
// path that does not exist (the platform shows nothing).
#pragma once

#include <string>
#include <vector>

// Every call since the last clear, as argument vectors (a copy: the calls
// run on the daemon's worker thread).
std::vector<std::vector<std::string>> host_standin_calls();
void host_standin_clear();

// Puts the stand-in back (after a test that set a runner of its own).
void host_standin_install();
