#include "poll/poll.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
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
            link->open_errno = ETIMEDOUT;
        }
    } else {
        link_close(link);
        if (link_open(link) == LINK_OPEN_PENDING) {
            state->connect_started = now;
            return POLL_WAITING;
        }
    }
    log_debug("poll: unit %d: link %s", machine_address(u), link_is_up(link) ? "open" : "down");
    // A link that does not open is no answer either: a unit that was never
    // reached is given up after four, as one that went silent.
    if (!link_is_up(link) && link->link_type != LINK_NONE && machine_kind(u) != KIND_NONE)
        machine_miss_reading(u);
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

std::string poll_open_reason(int err)
{
    if (err == ENOENT || err == ENODEV || err == ENXIO)
        return "no such device";
    if (err == EACCES || err == EPERM)
        return "permission denied";
    std::string text = strerror(err);
    if (!text.empty())
        text[0] = static_cast<char>(tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string poll_link_name(const LinkPort *link)
{
    char text[64];
    switch (link->link_type) {
    case LINK_SERIAL:
        return link->device_path;
    case LINK_TCP:
        return std::string(link->host_address) + " port " + std::to_string(LINK_TCP_PORT);
    case LINK_USB:
        snprintf(text, sizeof text, "USB %04x:%04x", link->usb_vendor_id, link->usb_product_id);
        return text;
    default:
        return "no link";
    }
}

void poll_silence_note(PollSilence *s, int address, const std::string &device, bool answered,
                       const char *reason, double now)
{
    if (s->answered)
        return;
    if (answered) {
        s->answered = true;
        if (s->reported)
            log_notice("upsagent: unit %d on %s answers now", address, device.c_str());
        return;
    }
    if (!reason || (s->reported && now - s->reported_at < POLL_SILENCE_REPEAT))
        return;
    log_error("upsagent: unit %d on %s has not answered since start: %s", address, device.c_str(),
              reason);
    s->reported = true;
    s->reported_at = now;
}

void poll_silence_after_move(PollSilence *s, const LinkPort *link, MachineContext *u, int move,
                             double now)
{
    if (link->link_type == LINK_NONE || machine_kind(u) == KIND_NONE || s->answered)
        return;
    MachineValues v;
    machine_values(u, &v);
    std::string why;
    if (move == POLL_REOPENED && !link_is_up(link))
        why = poll_open_reason(link->open_errno);
    else if (move == POLL_LOST && !v.connected)
        why = v.last_reply_len > 0 ? "no usable reply" : "no reply";
    poll_silence_note(s, v.address, poll_link_name(link), v.connected != 0,
                      why.empty() ? nullptr : why.c_str(), now);
}
