#include "agent/history.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/worker.h"
#include "store/event_log.h"
#include "store/paths.h"
#include "store/textfile.h"
#include "store/write_report.h"

std::string history_path(int unit, time_t when)
{
    struct tm t;
    localtime_r(&when, &t);
    char name[64];
    snprintf(name, sizeof name, "M%d%04d%02d%02d.ang", unit, (t.tm_year + 1900) % 10000,
             t.tm_mon + 1, t.tm_mday);
    return database_path(name);
}

std::string history_line(const MachineValues &v, time_t when)
{
    struct tm t;
    localtime_r(&when, &t);
    char line[256];
    snprintf(line, sizeof line, "%02d:%02d:%02d %05.1f %05.1f %05.1f %03d %04.1f %05.2f %04.1f\n",
             t.tm_hour, t.tm_min, t.tm_sec, v.input_voltage, v.input_fault_voltage,
             v.output_voltage, machine_truncate(v.load_percent), v.input_frequency, v.battery_voltage,
             v.temperature);
    return line;
}

// Read and write: the append looks at the last byte (append_line_whole).
// A link or FIFO laid at the day's name is refused (open_append_file).
static int open_append(const std::string &path)
{
    return open_append_file(path, 0644);
}

void history_append_at(MachineContext *ctx, time_t when, Worker *worker)
{
    MachineValues v;
    machine_values(ctx, &v);
    std::string path = history_path(v.address, when);
    std::string line = history_line(v, when);
    worker_submit(worker, [path, line] {
        int fd = open_append(path);
        if (fd < 0) {
            write_report(path, false, errno);
            return;
        }
        int err = append_line_whole(fd, line.data(), static_cast<int>(line.size()));
        write_report(path, err == 0, err);
        close(fd);
    });
}

void history_create_files(int count, time_t now)
{
    ensure_database_dir();
    for (int unit = 1; unit <= count; unit++) {
        std::string path = history_path(unit, now);
        int fd = open_append(path);
        if (fd < 0)
            write_report(path, false, errno);
        else
            close(fd);
    }
    event_log_create();
}
