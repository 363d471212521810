// The UPS command language: the input is a command's bytes as a client of
// port 2027 sends them. What the parser takes must format back to exactly
// those bytes, and whatever record the input also makes (any kind, any
// delays) must format to bytes the parser takes.
#include <cstdint>
#include <cstring>

#include "protocol/ups_command.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    UpsCommand c;
    if (ups_command_parse(reinterpret_cast<const char *>(data), static_cast<int>(size), &c)) {
        std::string back = ups_command_format(c);
        if (back.size() != size || memcmp(back.data(), data, size) != 0)
            __builtin_trap(); // taken bytes are one command, byte for byte
        if (ups_command_is_test(c) && ups_command_is_control(c))
            __builtin_trap();
        int delay = ups_command_delay_seconds(c);
        if (delay < 0 || delay > UPS_COMMAND_MINUTES_MAX * 60)
            __builtin_trap();
    }
    FuzzCursor in{data, size};
    int32_t fields[4];
    for (int32_t &f : fields) {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v = v << 8 | in.byte();
        memcpy(&f, &v, sizeof f);
    }
    UpsCommand made;
    made.kind = fields[0] % 8;
    made.minutes = fields[1];
    made.tenths = fields[2];
    made.restore_minutes = fields[3];
    std::string bytes = ups_command_format(made);
    UpsCommand again;
    if (!bytes.empty() && !ups_command_parse(bytes, &again))
        __builtin_trap(); // every formatted command is one the parser takes
    if (bytes.size() > static_cast<size_t>(UPS_COMMAND_MAX_LEN))
        __builtin_trap();
    return 0;
}
