#include "protocol/filter.h"

#include <cmath>
#include <cstring>

#include "protocol/machine.h"

enum { NEWEST = 0, MIDDLE = 1, OLDEST = 2 };
enum { READINGS = 7 };

// Reading index -> offset and width in the status reply.
static const int reading_offset[READINGS] = {1, 7, 13, 19, 23, 28, 33};
static const int reading_width[READINGS] = {5, 5, 5, 3, 4, 4, 4};
enum { IN_V, FAULT_V, OUT_V, LOAD, FREQ, BATT_V, TEMP };

// The tolerances are single-precision constants; differences are taken in
// double from the float samples.
static const float TOL_VOLT = 5.0f;
static const float TOL_LOAD = 5.0f;
static const float TOL_FREQ = 3.0f;
static const float TOL_BATT_ONLINE = 0.11f;
static const float TOL_BATT_OFFLINE = 1.8f;
static const float TOL_TEMP = 4.95f;

static float samples[READINGS][3];
#define ZEROS9 {'0', '0', '0', '0', '0', '0', '0', '0', '0'}
static char status_samples[3][9] = {ZEROS9, ZEROS9, ZEROS9};

void filter_reset()
{
    memset(samples, 0, sizeof samples);
    memset(status_samples, '0', sizeof status_samples);
}

void filter_push(const unsigned char *reply)
{
    for (int r = 0; r < READINGS; r++) {
        samples[r][OLDEST] = samples[r][MIDDLE];
        samples[r][MIDDLE] = samples[r][NEWEST];
        samples[r][NEWEST] = reply_number(reply, reading_offset[r], reading_width[r]);
    }
    memcpy(status_samples[OLDEST], status_samples[MIDDLE], 9);
    memcpy(status_samples[MIDDLE], status_samples[NEWEST], 9);
    for (int i = 0; i < 8; i++)
        status_samples[NEWEST][7 - i] = static_cast<char>(reply[38 + i]);
}

static bool steady(int r, float tolerance)
{
    double tol = tolerance;
    double old = samples[r][OLDEST], mid = samples[r][MIDDLE], now = samples[r][NEWEST];
    return std::fabs(old - mid) <= tol && std::fabs(mid - now) <= tol;
}

bool filter_accept()
{
    if (!steady(IN_V, TOL_VOLT) || !steady(OUT_V, TOL_VOLT) || !steady(LOAD, TOL_LOAD) ||
        !steady(FREQ, TOL_FREQ))
        return false;
    bool online = status_samples[NEWEST][STATUS_TYPE] == '0';
    if (!steady(BATT_V, online ? TOL_BATT_ONLINE : TOL_BATT_OFFLINE) || !steady(TEMP, TOL_TEMP))
        return false;
    return memcmp(status_samples[OLDEST], status_samples[MIDDLE], 9) == 0 &&
           memcmp(status_samples[MIDDLE], status_samples[NEWEST], 9) == 0;
}
