// Load client for the daemon's servers, for `make bench`, and the floor
// they are measured against.
//
//   server_bench closed CLIENTS SECONDS PID
//       CLIENTS connections to port 2027, a thread each, each sending "ALL" +
//       unit 1 + NUL and reading the 108-byte record before the next
//       request, for SECONDS.
//   server_bench churn RATE SECONDS PID
//       RATE connections a second to port 2027 opened, asked once and closed.
//   server_bench getvar CLIENTS SECONDS PID PORT UPS
//       CLIENTS connections to 127.0.0.1:PORT driven by one thread, each
//       sending the RFC 9271 line "GET VAR UPS ups.status" and reading the
//       reply line before its next request, for SECONDS.
//   server_bench all CLIENTS SECONDS PID
//       The same client on port 2027: "ALL" + unit 1 + NUL, and the record.
//   server_bench floor PORT SECONDS
//       The floor: a bare epoll server on 127.0.0.1:PORT answering every
//       line with the fixed line 'VAR ups1 ups.status "OL"', for SECONDS.
//
// The clients print one line of "key=value" figures: requests, requests per
// second, latency percentiles in microseconds, and the server's CPU time
// (user + system, from /proc/PID/stat) per request in microseconds; getvar
// also counts the replies that were not 'VAR UPS ups.status "OL"' (wrong).
// One thread keeps the client's own cost and scheduling small beside the
// server's on a machine of few cores; "closed" stays as it was, so its
// figures compare with the earlier ones.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
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

// What a closed-loop connection sends and how its reply ends.
struct Target {
    int port;              // on 127.0.0.1
    std::string request;   // sent whole for every request
    size_t record;         // > 0: the reply is this many bytes; 0: one line
    std::string expected;  // a line reply other than this one is counted wrong
};

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

static int connect_server(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One request of `t` and its whole reply; false on any failure, *wrong set
// when a line reply is not the expected one.
static bool ask_target(int fd, const Target &t, bool *wrong)
{
    *wrong = false;
    if (send(fd, t.request.data(), t.request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(t.request.size()))
        return false;
    char reply[512];
    size_t got = 0;
    for (;;) {
        if (t.record > 0 && got >= t.record)
            return true;
        if (t.record == 0 && got > 0 && reply[got - 1] == '\n') {
            *wrong = t.expected.compare(0, std::string::npos, reply, got) != 0;
            return true;
        }
        size_t room = (t.record > 0 ? t.record : sizeof reply) - got;
        if (room == 0)
            return false; // a line longer than any reply asked for
        ssize_t n = recv(fd, reply + got, room, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
}

struct Results {
    std::mutex lock;
    std::vector<double> latencies_us;
    long failures = 0;
    long wrong = 0; // replies answered, but not with the expected line
};

static void add(Results *r, const std::vector<double> &mine, long failures, long wrong = 0)
{
    std::lock_guard<std::mutex> g(r->lock);
    r->latencies_us.insert(r->latencies_us.end(), mine.begin(), mine.end());
    r->failures += failures;
    r->wrong += wrong;
}

static double percentile(std::vector<double> &v, double p)
{
    if (v.empty())
        return 0;
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

// CLIENTS connections in a closed loop, each with one request of `t`
// outstanding, until SECONDS have passed.
static void closed_loop(const Target &t, int clients, double seconds, Results *r)
{
    Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([end, r, &t] {
            std::vector<double> mine;
            long failures = 0, wrong = 0;
            int fd = connect_server(t.port);
            while (fd >= 0 && Clock::now() < end) {
                Clock::time_point t0 = Clock::now();
                bool bad = false;
                if (!ask_target(fd, t, &bad)) {
                    failures++;
                    break;
                }
                wrong += bad;
                mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            if (fd < 0)
                failures++;
            else
                close(fd);
            add(r, mine, failures, wrong);
        });
    }
    for (auto &th : threads)
        th.join();
}

// The same closed loop driven by one thread: CLIENTS non-blocking
// connections in one epoll set, each sending its next request as soon as
// its reply is whole.
static void closed_loop_one_thread(const Target &t, int clients, double seconds, Results *r)
{
    struct Connection {
        int fd = -1;
        Clock::time_point sent;
        size_t got = 0;
        char reply[512];
    };
    std::vector<Connection> conns(static_cast<size_t>(clients));
    std::vector<double> latencies;
    long failures = 0, wrong = 0;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    auto drop = [&](Connection *c) {
        failures++;
        close(c->fd); // also leaves the epoll set
        c->fd = -1;
    };
    auto send_request = [&](Connection *c) {
        c->got = 0;
        c->sent = Clock::now();
        if (send(c->fd, t.request.data(), t.request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(t.request.size()))
            drop(c); // a few bytes into an empty socket buffer: never short
    };
    Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(seconds));
    for (size_t i = 0; i < conns.size(); i++) {
        Connection *c = &conns[i];
        c->fd = connect_server(t.port);
        if (c->fd < 0) {
            failures++;
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, c->fd, &ev);
        send_request(c);
    }
    epoll_event events[256];
    for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
        int n = epoll_wait(ep, events, 256, 100);
        for (int k = 0; k < n; k++) {
            Connection *c = &conns[events[k].data.u64];
            if (c->fd < 0)
                continue;
            size_t want = t.record > 0 ? t.record : sizeof c->reply;
            ssize_t got = recv(c->fd, c->reply + c->got, want - c->got, MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (got <= 0) {
                drop(c);
                continue;
            }
            c->got += static_cast<size_t>(got);
            bool whole = t.record > 0 ? c->got == t.record : c->reply[c->got - 1] == '\n';
            if (!whole) {
                if (c->got == want)
                    drop(c); // a line longer than any reply asked for
                continue;
            }
            Clock::time_point done = Clock::now();
            latencies.push_back(std::chrono::duration<double, std::micro>(done - c->sent).count());
            if (t.record == 0)
                wrong += t.expected.compare(0, std::string::npos, c->reply, c->got) != 0;
            if (done < end)
                send_request(c);
        }
    }
    for (Connection &c : conns)
        if (c.fd >= 0)
            close(c.fd);
    close(ep);
    add(r, latencies, failures, wrong);
}

// RATE connections a second, spread over a few threads so a slow connect
// does not hold the others back.
static void churn(const Target &t, int rate, double seconds, Results *r)
{
    const int workers = 8;
    std::vector<std::thread> threads;
    Clock::time_point start = Clock::now();
    long total = static_cast<long>(rate * seconds);
    for (int w = 0; w < workers; w++) {
        threads.emplace_back([=, &t] {
            std::vector<double> mine;
            long failures = 0;
            for (long i = w; i < total; i += workers) {
                Clock::time_point due = start + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(
                                                        static_cast<double>(i) / rate));
                std::this_thread::sleep_until(due);
                Clock::time_point t0 = Clock::now();
                int fd = connect_server(t.port);
                bool bad = false;
                if (fd < 0 || !ask_target(fd, t, &bad))
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
    for (auto &th : threads)
        th.join();
}

// The floor: what any line server on this machine costs at least, one
// epoll loop answering every line read with a fixed line and doing nothing
// else. A reply the socket does not take at once ends its connection: a
// closed-loop client never lets one pile up.
static int floor_server(int port, double seconds)
{
    static const char REPLY[] = "VAR ups1 ups.status \"OL\"\n";
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 128) != 0) {
        perror("server_bench floor: listen");
        return 1;
    }
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(seconds));
    epoll_event events[64];
    std::string out;
    while (Clock::now() < end) {
        int n = epoll_wait(ep, events, 64, 200);
        for (int i = 0; i < n; i++) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                int c;
                while ((c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
                    ev.events = EPOLLIN;
                    ev.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev);
                }
                continue;
            }
            char buf[1024];
            ssize_t got = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            out.clear();
            for (ssize_t k = 0; k < got; k++)
                if (buf[k] == '\n')
                    out.append(REPLY, sizeof REPLY - 1);
            if (got <= 0 || (!out.empty() && send(fd, out.data(), out.size(),
                                                  MSG_NOSIGNAL | MSG_DONTWAIT) !=
                                                     static_cast<ssize_t>(out.size())))
                close(fd); // also leaves the epoll set
        }
    }
    return 0;
}

static void usage()
{
    fprintf(stderr, "usage: server_bench closed CLIENTS SECONDS PID | churn RATE SECONDS PID\n"
                    "       server_bench getvar CLIENTS SECONDS PID PORT UPS | all CLIENTS SECONDS PID\n"
                    "       server_bench floor PORT SECONDS\n");
}

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "floor") {
        int port = argc == 4 ? atoi(argv[2]) : 0;
        double seconds = argc == 4 ? atof(argv[3]) : 0;
        if (port <= 0 || port > 65535 || seconds <= 0) {
            usage();
            return 2;
        }
        return floor_server(port, seconds);
    }
    bool getvar = mode == "getvar";
    if (argc != (getvar ? 7 : 5) ||
        (mode != "closed" && mode != "churn" && mode != "all" && !getvar)) {
        usage();
        return 2;
    }
    int count = atoi(argv[2]);
    double seconds = atof(argv[3]);
    int pid = atoi(argv[4]);
    Target target = {2027, std::string(reinterpret_cast<const char *>(REQUEST), sizeof REQUEST),
                     108, ""};
    if (getvar) {
        std::string ups = argv[6];
        target = {atoi(argv[5]), "GET VAR " + ups + " ups.status\n", 0,
                  "VAR " + ups + " ups.status \"OL\"\n"};
    }
    if (count <= 0 || seconds <= 0 || pid <= 0 || target.port <= 0 || target.port > 65535) {
        fprintf(stderr, "server_bench: bad arguments\n");
        return 2;
    }
    Results r;
    double cpu0 = cpu_seconds(pid);
    Clock::time_point t0 = Clock::now();
    if (mode == "churn")
        churn(target, count, seconds, &r);
    else if (mode == "closed")
        closed_loop(target, count, seconds, &r);
    else
        closed_loop_one_thread(target, count, seconds, &r);
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu = cpu_seconds(pid) - cpu0;
    std::sort(r.latencies_us.begin(), r.latencies_us.end());
    size_t n = r.latencies_us.size();
    printf("requests=%zu failures=%ld wrong=%ld per_second=%.0f p50_us=%.0f p99_us=%.0f "
           "p999_us=%.0f cpu_per_request_us=%.2f\n",
           n, r.failures, r.wrong, static_cast<double>(n) / wall,
           percentile(r.latencies_us, 0.50), percentile(r.latencies_us, 0.99),
           percentile(r.latencies_us, 0.999), n ? cpu * 1e6 / static_cast<double>(n) : 0.0);
    return r.failures > 0 && n == 0 ? 1 : 0;
}
