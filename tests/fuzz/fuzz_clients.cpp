// "Set/Clients.ang": the access rules read at start and on "RefreshSet",
// asked about a few peers.
#include "agent/access.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = fuzz_write("Set/Clients.ang", data, size);
    access_load(path);
    static const uint32_t PEERS[] = {0x7f000001, 0x0a000002, 0xc0a80101, 0xffffffff, 0};
    for (uint32_t peer : PEERS) {
        if (peer == 0x7f000001 && !access_may_command(peer, 0))
            __builtin_trap(); // root on this host always may
        if (peer == 0x7f000001 && access_may_command(peer, ACCESS_OWNER_UNKNOWN))
            __builtin_trap(); // a client not identified never
        access_may_command(peer, 65534);
    }
    return 0;
}
