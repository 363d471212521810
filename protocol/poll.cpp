#include "protocol/poll.h"

#include <cstdio>
#include <cstring>

// Room for any reply: a StatusRecord, a USB report, or several glued replies.
static const int RECEIVE_BUFFER = 1024;

int poll_move(LinkPort *link, MachineContext *u, int index, int trace, PollCheck check)
{
    if (!link_is_up(link)) {
        if (trace >= POLL_TRACE_ALL)
            puts("沒有連線");
        link_close(link);
        link_open(link);
        if (trace >= POLL_TRACE_ALL)
            printf("連線後連線結果 %d\n", link->link_up);
        check(u);
        return POLL_REOPENED;
    }
    if (trace >= POLL_TRACE_STEPS)
        printf("已經連線 %d\n", link->link_up);
    int action = machine_next_action(u);
    if (trace >= POLL_TRACE_STEPS)
        printf("現在進度是機器號碼 %d 進度為%d\n", index, machine_step(u));
    if (action == ACTION_SEND) {
        // One more byte than any request, so the trace can end it.
        unsigned char request[MACHINE_PENDING_SIZE + 1];
        int count = 0;
        machine_build_request(u, request, &count);
        link_write(link, request, count);
        machine_next_step(u, 1);
        if (trace >= POLL_TRACE_ALL) {
            request[count] = '\0';
            printf("傳送了%s\n", reinterpret_cast<char *>(request));
        }
        return POLL_SENT;
    }
    if (action != ACTION_RECEIVE)
        return POLL_IDLE;
    unsigned char reply[RECEIVE_BUFFER + 1];
    memset(reply, 0, sizeof reply);
    int n = link_read(link, reply, RECEIVE_BUFFER);
    if (trace >= POLL_TRACE_ALL)
        printf("接收了%d=%s\n", n, reinterpret_cast<char *>(reply));
    int ok = machine_parse_reply(u, reply, n);
    if (trace >= POLL_TRACE_ALL)
        printf("分析結果 %d %s", ok, reinterpret_cast<char *>(reply));
    machine_next_step(u, ok);
    check(u);
    bool done = machine_take_turn_done(u);
    if (!machine_connected(u))
        return POLL_LOST;
    if (done && trace >= POLL_TRACE_ALL)
        puts("跳下一台機器了");
    return done ? POLL_TURN_DONE : POLL_KEPT;
}
