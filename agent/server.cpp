#include "agent/server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "agent/agent.h"
#include "agent/history.h"
#include "store/mail.h"
#include "store/paths.h"
#include "store/schedule.h"
#include "store/sms.h"

// 5 in the daemon and never changed: 2 would switch on the server trace.
static const int debug_level = 5;

static int listen_socket = -1;
static MachineContext *units = nullptr;
static std::atomic<int> sessions{0};

static const int RECEIVE_BUFFER = 1024;
static const int EMPTY_READS_TO_LEAVE = 6;

int server_sessions()
{
    return sessions.load();
}

int server_start(int port, MachineContext *unit_contexts)
{
    units = unit_contexts;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        printf("server Fail: socket: %s\n", strerror(errno));
        return -1;
    }
    // A restarted daemon binds at once, even with old connections lingering.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        printf("server Fail: bind to port %d: %s\n", port, strerror(errno));
        close(fd);
        return -1;
    }
    if (listen(fd, 8) != 0) {
        printf("server Fail: listen: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    listen_socket = fd;
    return 0;
}

bool status_record_write(int fd, int index)
{
    if (index < 0 || index > 3) {
        printf("Debug WriteALL have error Index! number is %d\n", index);
        return false;
    }
    char record[STATUS_RECORD_LEN];
    machine_status_record(&units[index], record);
    // A client that went away is an error code here, not a SIGPIPE.
    return send(fd, record, STATUS_RECORD_LEN, MSG_NOSIGNAL) == STATUS_RECORD_LEN;
}

static void queue_unit1(const unsigned char *data, int len)
{
    machine_queue_command(&units[0], reinterpret_cast<const char *>(data), len);
}

static bool starts_with(const unsigned char *data, int len, const char *text)
{
    int n = static_cast<int>(strlen(text));
    return len >= n && memcmp(data, text, n) == 0;
}

// The received text with control characters shown as '.', for one line.
static std::string printable(const unsigned char *data, int len)
{
    std::string text;
    for (int i = 0; i < len && i < RECEIVE_BUFFER; i++)
        text += (data[i] >= 0x20 && data[i] < 0x7f) ? static_cast<char>(data[i]) : '.';
    return text;
}

int server_command(int fd, const unsigned char *data, int len)
{
    if (starts_with(data, len, "ALL")) {
        // The unit is a byte value 1..4, not a digit.
        if (len > 3 && data[3] >= 1 && data[3] <= 4)
            status_record_write(fd, data[3] - 1);
        return 1;
    }
    if (starts_with(data, len, "C\r")) {
        queue_unit1(data, 2);
        return 2;
    }
    if (starts_with(data, len, "CT\r")) {
        queue_unit1(data, 3);
        return 3;
    }
    if (starts_with(data, len, "T\r")) {
        queue_unit1(data, 2);
        return 4;
    }
    if (starts_with(data, len, "TL\r")) {
        queue_unit1(data, 3);
        return 5;
    }
    if (len > 0 && data[0] == 'S') {
        queue_unit1(data, len); // refused whole, never cut, when over 64 bytes
        return 6;
    }
    if (starts_with(data, len, "RefreshMail")) {
        mail_settings_read(program_dir() + "Set/Mail.ang");
        return 7;
    }
    if (starts_with(data, len, "RefreshSMS")) {
        sms_settings_read(program_dir() + "Set/SMS.ang");
        return 8;
    }
    if (starts_with(data, len, "RefreshPlan")) {
        schedule_load();
        time_t now = time(nullptr);
        struct tm t;
        localtime_r(&now, &t);
        schedule_select_today(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
        return 9;
    }
    if (len == 10 && memcmp(data, "RefreshSet", 10) == 0) {
        settings_apply();
        history_create_files(agent_machine_count());
        return 10;
    }
    printf("Debug In SocketInterFace receive wrong command! %s\n", printable(data, len).c_str());
    return 11;
}

static void client_session(int fd)
{
    unsigned char buf[RECEIVE_BUFFER + 1];
    int empty_reads = 0;
    while (empty_reads < EMPTY_READS_TO_LEAVE) {
        ssize_t n = recv(fd, buf, RECEIVE_BUFFER, 0);
        if (n <= 0) {
            empty_reads++;
            continue;
        }
        empty_reads = 0;
        buf[n] = '\0';
        server_command(fd, buf, static_cast<int>(n));
        if (debug_level == 2)
            printf("%s\n", buf);
    }
    if (debug_level == 2)
        printf("Leave thread\n");
    close(fd);
    sessions--;
}

static void accept_loop()
{
    for (;;) {
        int fd = accept4(listen_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors, or an aborted connection: wait a little
            // rather than spin.
            if (errno != EINTR)
                usleep(100 * 1000);
            continue;
        }
        if (sessions.load() >= SERVER_MAX_SESSIONS) {
            printf("server: %d clients connected already, connection closed\n",
                   SERVER_MAX_SESSIONS);
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        sessions++;
        try {
            std::thread(client_session, fd).detach();
        } catch (...) { // no thread to be had
            sessions--;
            close(fd);
            usleep(100 * 1000);
        }
    }
}

void server_accept_start()
{
    if (listen_socket >= 0)
        std::thread(accept_loop).detach();
}
