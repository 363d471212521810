// Who runs the other end of a loopback TCP connection: the kernel's socket
// diagnostics (netlink, NETLINK_SOCK_DIAG) are asked for the client's
// socket by its exact addresses and ports, and say which uid owns it. Works
// only for a client in the caller's own network namespace, which is what
// loopback is. One blocking netlink exchange with the kernel (microseconds):
// callers ask once per session, when it matters, not per read.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

// What the kernel said of a client socket.
struct PeerOwner {
    bool known = false; // `uid` is the owner of a live socket of a process
    uint32_t uid = 0;   // with `known` only
    std::string why;    // without `known`: why not, for a line ("the client closed ...")
};

// The owner of the TCP socket whose own end is `client` and whose other end
// is `server` (IPv4, both in network byte order as sockaddr_in keeps them):
// the client of a connection the caller accepted on `server`. Fails closed:
// a socket the kernel no longer ties to a process (the client closed
// before it could be identified: an orphan in TIME_WAIT or FIN_WAIT2 shows
// uid 0 and inode 0), no such socket, or a failed exchange are `known` =
// false with `why` set; a uid 0 is taken only from a socket with an inode.
PeerOwner peer_owner_lookup(const sockaddr_in &client, const sockaddr_in &server);

// The same for the accepted socket `fd` (its peer is the client, its own
// address the server's).
PeerOwner peer_owner_of_accepted(int fd);
