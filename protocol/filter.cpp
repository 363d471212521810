#include "protocol/filter.h"

#include <cmath>
#include <cstring>

#include "protocol/reply.h"

enum { NEWEST = 0, MIDDLE = 1, OLDEST = 2 };

// Reading index -> offset and width in the status reply.
static const int reading_offset[FILTER_READINGS] = {1, 7, 13, 19, 23, 28, 33};
static const int reading_width[FILTER_READINGS] = {5, 5, 5, 3, 4, 4, 4};
enum { IN_V, FAULT_V, OUT_V, LOAD, FREQ, BATT_V, TEMP };

// The tolerances are single-precision constants; differences are taken in
// double from the float samples.
static const float TOL_VOLT = 5.0f;
static const float TOL_LOAD = 5.0f;
static const float TOL_FREQ = 3.0f;
static const float TOL_BATT_ONLINE = 0.11f;
static const float TOL_BATT_OFFLINE = 1.8f;
static const float TOL_TEMP = 4.95f;

void filter_reset(FilterState *f)
{
    memset(f->samples, 0, sizeof f->samples);
    memset(f->status_samples, '0', sizeof f->status_samples);
    memset(f->status, '0', sizeof f->status);
    f->count = 0;
}

void filter_push(FilterState *f, const unsigned char *reply)
{
    for (int r = 0; r < FILTER_READINGS; r++) {
        f->samples[r][OLDEST] = f->samples[r][MIDDLE];
        f->samples[r][MIDDLE] = f->samples[r][NEWEST];
        f->samples[r][NEWEST] = reply_number(reply, reading_offset[r], reading_width[r]);
    }
    memcpy(f->status_samples[OLDEST], f->status_samples[MIDDLE], FILTER_POSITIONS);
    memcpy(f->status_samples[MIDDLE], f->status_samples[NEWEST], FILTER_POSITIONS);
    // Bits b7..b0 at reply[38..45].
    for (int i = 0; i < FILTER_POSITIONS; i++) {
        char c = static_cast<char>(reply[38 + i]);
        if (c == '0' || c == '1')
            f->status_samples[NEWEST][FILTER_POSITIONS - 1 - i] = c;
    }
    if (f->count < 3)
        f->count++;
    if (f->count < 3)
        return;
    for (int p = 0; p < FILTER_POSITIONS; p++) {
        int set = 0;
        for (int s = NEWEST; s <= OLDEST; s++)
            set += f->status_samples[s][p] == '1';
        if (set >= 2)
            f->status[p] = '1';
        else if (set == 0)
            f->status[p] = '0';
    }
}

static bool steady(const FilterState *f, int r, float tolerance)
{
    double tol = tolerance;
    double old = f->samples[r][OLDEST], mid = f->samples[r][MIDDLE], now = f->samples[r][NEWEST];
    return std::fabs(old - mid) <= tol && std::fabs(mid - now) <= tol;
}

bool filter_accept(const FilterState *f)
{
    if (!steady(f, IN_V, TOL_VOLT) || !steady(f, OUT_V, TOL_VOLT) || !steady(f, LOAD, TOL_LOAD) ||
        !steady(f, FREQ, TOL_FREQ))
        return false;
    bool online = f->status_samples[NEWEST][STATUS_TYPE] == '0';
    return steady(f, BATT_V, online ? TOL_BATT_ONLINE : TOL_BATT_OFFLINE) &&
           steady(f, TEMP, TOL_TEMP);
}

bool filter_status(const FilterState *f, char out[FILTER_POSITIONS])
{
    if (f->count < 3)
        return false;
    memcpy(out, f->status, FILTER_POSITIONS);
    return true;
}
