// "Set/Users.ang": the users of port 3493, read at start and on
// "RefreshSet". No password is checked: a hash's own cost is the file
// owner's choice.
#include "agent/users.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = fuzz_write("Set/Users.ang", data, size);
    if (users_load(path) < 0)
        __builtin_trap(); // the file is there and readable
    return 0;
}
