// "Set/Network.ang": the addresses port 3493 binds and its certificate.
#include "agent/network.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = fuzz_write("Set/Network.ang", data, size);
    NetworkSettings settings;
    network_read(path, &settings);
    if (settings.listen.empty())
        __builtin_trap(); // 127.0.0.1 at least (or every address)
    return 0;
}
