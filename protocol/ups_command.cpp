#include "protocol/ups_command.h"

#include <cstdio>

static bool turn_off(int kind)
{
    return kind == UPS_COMMAND_TURN_OFF || kind == UPS_COMMAND_TURN_OFF_RESTORE;
}

static bool known(int kind)
{
    return kind >= UPS_COMMAND_TEST_QUICK && kind <= UPS_COMMAND_TURN_OFF_RESTORE;
}

static int clamp(int value, int lo, int hi)
{
    return value < lo ? lo : value > hi ? hi : value;
}

UpsCommand ups_command_clamped(const UpsCommand &c)
{
    UpsCommand out;
    out.kind = c.kind;
    if (!turn_off(c.kind))
        return out;
    if (c.minutes <= 0 && c.tenths >= UPS_COMMAND_TENTHS_MIN && c.tenths <= UPS_COMMAND_TENTHS_MAX)
        out.tenths = c.tenths;
    else
        out.minutes = clamp(c.minutes, 1, UPS_COMMAND_MINUTES_MAX);
    if (c.kind == UPS_COMMAND_TURN_OFF_RESTORE)
        out.restore_minutes = clamp(c.restore_minutes, 0, UPS_COMMAND_RESTORE_MAX);
    return out;
}

UpsCommand ups_command_of(int kind)
{
    UpsCommand c;
    c.kind = kind;
    return ups_command_clamped(c);
}

UpsCommand ups_command_turn_off(int minutes)
{
    UpsCommand c;
    c.kind = UPS_COMMAND_TURN_OFF;
    c.minutes = minutes;
    return ups_command_clamped(c);
}

UpsCommand ups_command_turn_off_restore(int minutes, int restore_minutes)
{
    UpsCommand c;
    c.kind = UPS_COMMAND_TURN_OFF_RESTORE;
    c.minutes = minutes;
    c.restore_minutes = restore_minutes;
    return ups_command_clamped(c);
}

std::string ups_command_format(const UpsCommand &command)
{
    if (!known(command.kind))
        return "";
    UpsCommand c = ups_command_clamped(command);
    switch (c.kind) {
    case UPS_COMMAND_TEST_QUICK: return "T\r";
    case UPS_COMMAND_TEST_DEEP: return "TL\r";
    case UPS_COMMAND_TEST_CANCEL: return "CT\r";
    case UPS_COMMAND_SHUTDOWN_CANCEL: return "C\r";
    }
    char text[UPS_COMMAND_MAX_LEN + 1];
    int n = c.minutes > 0 ? snprintf(text, sizeof text, "S%02d", c.minutes)
                          : snprintf(text, sizeof text, "S.%d", c.tenths);
    if (c.kind == UPS_COMMAND_TURN_OFF_RESTORE)
        n += snprintf(text + n, sizeof text - n, "R%04d", c.restore_minutes);
    snprintf(text + n, sizeof text - n, "\r");
    return text;
}

static bool digit(char c)
{
    return c >= '0' && c <= '9';
}

bool ups_command_parse(const char *bytes, int len, UpsCommand *out)
{
    if (!bytes || len < 2 || len > UPS_COMMAND_MAX_LEN || bytes[len - 1] != '\r')
        return false;
    std::string body(bytes, len - 1);
    UpsCommand c;
    if (body == "T" || body == "TL" || body == "CT" || body == "C") {
        c.kind = body == "T"    ? UPS_COMMAND_TEST_QUICK
                 : body == "TL" ? UPS_COMMAND_TEST_DEEP
                 : body == "CT" ? UPS_COMMAND_TEST_CANCEL
                                : UPS_COMMAND_SHUTDOWN_CANCEL;
        *out = c;
        return true;
    }
    // "S", a delay of exactly three characters ("mm" or ".d"), then nothing
    // or "R" and exactly four digits.
    if (body.size() != 3 && body.size() != 8)
        return false;
    if (body[0] != 'S')
        return false;
    if (body[1] == '.') {
        if (!digit(body[2]) || body[2] - '0' < UPS_COMMAND_TENTHS_MIN)
            return false;
        c.tenths = body[2] - '0';
    } else {
        if (!digit(body[1]) || !digit(body[2]))
            return false;
        c.minutes = (body[1] - '0') * 10 + (body[2] - '0');
        if (c.minutes < 1)
            return false;
    }
    c.kind = UPS_COMMAND_TURN_OFF;
    if (body.size() == 8) {
        if (body[3] != 'R')
            return false;
        for (int i = 4; i < 8; i++) {
            if (!digit(body[i]))
                return false;
            c.restore_minutes = c.restore_minutes * 10 + (body[i] - '0');
        }
        c.kind = UPS_COMMAND_TURN_OFF_RESTORE;
    }
    *out = c;
    return true;
}

bool ups_command_parse(const std::string &bytes, UpsCommand *out)
{
    return ups_command_parse(bytes.data(), static_cast<int>(bytes.size()), out);
}

bool ups_command_is_test(const UpsCommand &c)
{
    return c.kind == UPS_COMMAND_TEST_QUICK || c.kind == UPS_COMMAND_TEST_DEEP ||
           c.kind == UPS_COMMAND_TEST_CANCEL;
}

bool ups_command_is_control(const UpsCommand &c)
{
    return turn_off(c.kind) || c.kind == UPS_COMMAND_SHUTDOWN_CANCEL;
}

int ups_command_delay_seconds(const UpsCommand &command)
{
    if (!turn_off(command.kind))
        return 0;
    UpsCommand c = ups_command_clamped(command);
    return c.minutes > 0 ? c.minutes * 60 : c.tenths * 6;
}
