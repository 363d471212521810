#include "poll/poll.h"

#include <cstring>

#include "base/log.h"

// Room for any reply: a StatusRecord, a USB report, or several glued replies.
static const int RECEIVE_BUFFER = 1024;

static int reopen(LinkPort *link, PollState *state, MachineContext *u, double now, PollCheck check,
                  void *ctx)
{
    if (link->connecting) {
        int done = link_connect_done(link);
        if (done == LINK_OPEN_PENDING) {
            if (now - state->connect_started < LINK_CONNECT_SECONDS)
                return POLL_WAITING;
            link_close(link); // it took too long: a failed attempt
        }
    } else {
        link_close(link);
        if (link_open(link) == LINK_OPEN_PENDING) {
            state->connect_started = now;
            return POLL_WAITING;
        }
    }
    log_debug("poll: unit %d: link %s", machine_address(u), link_is_up(link) ? "open" : "down");
    check(u, ctx);
    return POLL_REOPENED;
}

int poll_move(LinkPort *link, PollState *state, MachineContext *u, double now, PollCheck check,
              void *ctx)
{
    if (!link_is_up(link))
        return reopen(link, state, u, now, check, ctx);
    int action = machine_next_action(u);
    if (action == ACTION_SEND) {
        unsigned char request[MACHINE_PENDING_SIZE];
        int count = 0;
        machine_build_request(u, request, &count);
        link_write(link, request, count);
        state->sent_at = now;
        machine_next_step(u, 1);
        log_debug("poll: unit %d: sent %d bytes", machine_address(u), count);
        return POLL_SENT;
    }
    if (action != ACTION_RECEIVE)
        return POLL_IDLE;
    unsigned char reply[RECEIVE_BUFFER + 1];
    memset(reply, 0, sizeof reply);
    int n = link_read(link, reply, RECEIVE_BUFFER);
    if (n == 0 && link->link_type == LINK_TCP && now - state->sent_at < LINK_REPLY_SECONDS)
        return POLL_WAITING;
    int ok = machine_parse_reply(u, reply, n);
    log_debug("poll: unit %d: received %d bytes, %s", machine_address(u), n,
              ok ? "taken" : "not taken");
    machine_next_step(u, ok);
    check(u, ctx);
    bool done = machine_take_turn_done(u);
    if (!machine_connected(u))
        return POLL_LOST;
    return done ? POLL_TURN_DONE : POLL_KEPT;
}
