#include "base/peer_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static PeerOwner unknown(const char *why)
{
    PeerOwner o;
    o.why = why;
    return o;
}

static PeerOwner unknown_errno(const char *what, int err)
{
    char text[160];
    snprintf(text, sizeof text, "who the client is could not be learnt (%s: %s)", what,
             strerror(err));
    return unknown(text);
}

// What one answer message says; `o` untouched when it is no answer.
static bool take_answer(const nlmsghdr *h, PeerOwner *o)
{
    if (h->nlmsg_type == NLMSG_ERROR) {
        const nlmsgerr *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
        int err = h->nlmsg_len >= NLMSG_LENGTH(sizeof *e) ? -e->error : EPROTO;
        // No such socket: the client is gone altogether.
        *o = err == ENOENT ? unknown("the client closed before it could be identified")
                           : unknown_errno("socket diagnostics", err);
        return true;
    }
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return false;
    const inet_diag_msg *m = static_cast<const inet_diag_msg *>(NLMSG_DATA(h));
    // An orphaned socket (the process closed it: TIME_WAIT, or FIN_WAIT2
    // kept as a mini-socket) belongs to no one and reads uid 0: never root.
    if (m->idiag_inode == 0 || m->idiag_state == TCP_TIME_WAIT) {
        *o = unknown("the client closed before it could be identified");
        return true;
    }
    o->known = true;
    o->uid = m->idiag_uid;
    o->why.clear();
    return true;
}

PeerOwner peer_owner_lookup(const sockaddr_in &client, const sockaddr_in &server)
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return unknown_errno("netlink socket", errno);
    // The kernel answers within the send; the limit only guards a kernel
    // that would not.
    timeval limit = {0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    struct {
        nlmsghdr header;
        inet_diag_req_v2 req;
    } ask;
    memset(&ask, 0, sizeof ask);
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST; // one socket by its addresses, no dump
    ask.header.nlmsg_seq = 1;
    ask.req.sdiag_family = AF_INET;
    ask.req.sdiag_protocol = IPPROTO_TCP;
    ask.req.idiag_states = ~0u;
    // The client's socket: its own end is the source, ours the destination.
    ask.req.id.idiag_sport = client.sin_port;
    ask.req.id.idiag_dport = server.sin_port;
    ask.req.id.idiag_src[0] = client.sin_addr.s_addr;
    ask.req.id.idiag_dst[0] = server.sin_addr.s_addr;
    ask.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof ask)) {
        PeerOwner o = unknown_errno("socket diagnostics", errno);
        close(fd);
        return o;
    }
    alignas(nlmsghdr) char buf[8192];
    PeerOwner o = unknown("the socket diagnostics gave no answer");
    for (int tries = 0; tries < 4; tries++) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            o = unknown_errno("socket diagnostics", n < 0 ? errno : EPROTO);
            break;
        }
        bool answered = false;
        size_t size = static_cast<size_t>(n);
        for (size_t at = 0; !answered && at < size && size - at >= sizeof(nlmsghdr);) {
            const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buf + at);
            if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > size - at)
                break; // cut short: no more messages in it
            answered = h->nlmsg_seq == 1 && take_answer(h, &o);
            at += NLMSG_ALIGN(h->nlmsg_len);
        }
        if (answered)
            break;
    }
    close(fd);
    return o;
}

PeerOwner peer_owner_of_accepted(int fd)
{
    sockaddr_in peer, own;
    socklen_t peer_len = sizeof peer, own_len = sizeof own;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_len) != 0)
        return errno == ENOTCONN ? unknown("the client closed before it could be identified")
                                 : unknown_errno("getpeername", errno);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&own), &own_len) != 0)
        return unknown_errno("getsockname", errno);
    if (peer.sin_family != AF_INET || own.sin_family != AF_INET)
        return unknown("the client is no IPv4 peer");
    return peer_owner_lookup(peer, own);
}
