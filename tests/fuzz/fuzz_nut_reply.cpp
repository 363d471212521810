// Reply lines from another RFC 9271 server, as the daemon reads them when it
// watches a unit that server owns: the input is split at each "\n"; every
// line goes through the reply reader, and the variables of the VAR lines
// make a reading.
#include "protocol/nut_client.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::pair<std::string, std::string>> vars;
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        std::string line = input.substr(start, end - start);
        start = end + 1;
        NutReply reply;
        bool ok = nut_reply_parse(line, &reply);
        if (ok != (reply.kind != NUT_REPLY_BAD) || (ok && line.size() > NUT_REPLY_LINE_MAX))
            __builtin_trap();
        if (reply.kind != NUT_REPLY_VAR)
            continue;
        // A value read back goes out quoted and reads back the same.
        std::string quoted;
        if (!nut_quote(reply.value, &quoted))
            __builtin_trap();
        NutReply again;
        if (!nut_reply_parse("VAR u n " + quoted, &again) || again.value != reply.value)
            __builtin_trap();
        vars.emplace_back(reply.name, reply.value);
    }
    MachineReading reading;
    bool fsd;
    std::vector<std::string> lines;
    if (nut_client_reading(vars, &reading, &fsd, &lines)) {
        if (reading.battery_charge < -1 || reading.battery_charge > 100 ||
            reading.battery_runtime < -1 ||
            strnlen(reading.maker, sizeof reading.maker) == sizeof reading.maker)
            __builtin_trap();
    }
    return 0;
}
