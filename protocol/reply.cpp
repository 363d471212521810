#include "protocol/reply.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

float reply_number(const unsigned char *bytes, int offset, int width)
{
    char scratch[16];
    if (width > 15)
        width = 15;
    memcpy(scratch, bytes + offset, width);
    scratch[width] = '\0';
    double value = strtod(scratch, nullptr);
    if (!std::isfinite(value)) // "nan" or "inf" is no reading
        return 0.0f;
    return static_cast<float>(value);
}
