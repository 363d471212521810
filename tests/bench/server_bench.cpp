// Load client for the port 2027 server, for `make bench`.
//
//   server_bench closed CLIENTS SECONDS PID
//       CLIENTS connections, each sending "ALL" + unit 1 + NUL and reading
//       the 108-byte record before the next request, for SECONDS.
//   server_bench churn RATE SECONDS PID
//       RATE connections a second opened, asked once and closed.
//
// Prints one line of "key=value" figures: requests, requests per second,
// latency percentiles in microseconds, and the server's CPU time (user +
// system, from /proc/PID/stat) per request in microseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

static const unsigned char REQUEST[5] = {'A', 'L', 'L', 1, 0};

// CPU seconds (user + system) the process has used so far.
static double cpu_seconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; i++) // state .. cmajflt: fields 3 to 13
        fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

static int connect_server()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(2027);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One request and its whole record; false on any failure.
static bool ask(int fd)
{
    if (send(fd, REQUEST, sizeof REQUEST, MSG_NOSIGNAL) != sizeof REQUEST)
        return false;
    char record[108];
    size_t got = 0;
    while (got < sizeof record) {
        ssize_t n = recv(fd, record + got, sizeof record - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

struct Results {
    std::mutex lock;
    std::vector<double> latencies_us;
    long failures = 0;
};

static void add(Results *r, const std::vector<double> &mine, long failures)
{
    std::lock_guard<std::mutex> g(r->lock);
    r->latencies_us.insert(r->latencies_us.end(), mine.begin(), mine.end());
    r->failures += failures;
}

static double percentile(std::vector<double> &v, double p)
{
    if (v.empty())
        return 0;
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

static void closed_loop(int clients, double seconds, Results *r)
{
    Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([end, r] {
            std::vector<double> mine;
            long failures = 0;
            int fd = connect_server();
            while (fd >= 0 && Clock::now() < end) {
                Clock::time_point t0 = Clock::now();
                if (!ask(fd)) {
                    failures++;
                    break;
                }
                mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            if (fd < 0)
                failures++;
            else
                close(fd);
            add(r, mine, failures);
        });
    }
    for (auto &t : threads)
        t.join();
}

// RATE connections a second, spread over a few threads so a slow connect
// does not hold the others back.
static void churn(int rate, double seconds, Results *r)
{
    const int workers = 8;
    std::vector<std::thread> threads;
    Clock::time_point start = Clock::now();
    long total = static_cast<long>(rate * seconds);
    for (int w = 0; w < workers; w++) {
        threads.emplace_back([=] {
            std::vector<double> mine;
            long failures = 0;
            for (long i = w; i < total; i += workers) {
                Clock::time_point due = start + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(
                                                        static_cast<double>(i) / rate));
                std::this_thread::sleep_until(due);
                Clock::time_point t0 = Clock::now();
                int fd = connect_server();
                if (fd < 0 || !ask(fd))
                    failures++;
                else
                    mine.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                if (fd >= 0)
                    close(fd);
            }
            add(r, mine, failures);
        });
    }
    for (auto &t : threads)
        t.join();
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: server_bench closed CLIENTS SECONDS PID | churn RATE SECONDS PID\n");
        return 2;
    }
    std::string mode = argv[1];
    int count = atoi(argv[2]);
    double seconds = atof(argv[3]);
    int pid = atoi(argv[4]);
    if ((mode != "closed" && mode != "churn") || count <= 0 || seconds <= 0 || pid <= 0) {
        fprintf(stderr, "server_bench: bad arguments\n");
        return 2;
    }
    Results r;
    double cpu0 = cpu_seconds(pid);
    Clock::time_point t0 = Clock::now();
    if (mode == "closed")
        closed_loop(count, seconds, &r);
    else
        churn(count, seconds, &r);
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu = cpu_seconds(pid) - cpu0;
    std::sort(r.latencies_us.begin(), r.latencies_us.end());
    size_t n = r.latencies_us.size();
    printf("requests=%zu failures=%ld per_second=%.0f p50_us=%.0f p99_us=%.0f p999_us=%.0f "
           "cpu_per_request_us=%.1f\n",
           n, r.failures, static_cast<double>(n) / wall, percentile(r.latencies_us, 0.50),
           percentile(r.latencies_us, 0.99), percentile(r.latencies_us, 0.999),
           n ? cpu * 1e6 / static_cast<double>(n) : 0.0);
    return r.failures > 0 && n == 0 ? 1 : 0;
}
