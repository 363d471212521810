#include "base/peer_owner.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace {

// A listener on 127.0.0.1 at a port of the kernel's choice.
int listen_loopback(sockaddr_in *where)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 8), 0);
    socklen_t len = sizeof *where;
    getsockname(fd, reinterpret_cast<sockaddr *>(where), &len);
    return fd;
}

int connect_to(const sockaddr_in &where)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where), 0);
    return fd;
}

// The owner of the client of `accepted`, asked until `done` holds or 5 s
// have passed (the kernel turns a closed client's socket over in its own
// time).
template <typename Done>
PeerOwner owner_until(int accepted, Done done)
{
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    PeerOwner o = peer_owner_of_accepted(accepted);
    while (!done(o) && std::chrono::steady_clock::now() < limit)
        o = peer_owner_of_accepted(accepted);
    return o;
}

// Whoever runs a connected client is named by its uid; once the client has
// closed, its socket (an orphan, later a mini-socket reading uid 0) names
// no one, whoever ran it: never root by mistake.
TEST(PeerOwner, NamesTheClientsUidAndNoOneAfterItClosed)
{
    sockaddr_in where{};
    int listener = listen_loopback(&where);

    int client = connect_to(where);
    int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    PeerOwner o = peer_owner_of_accepted(accepted);
    EXPECT_TRUE(o.known) << o.why;
    EXPECT_EQ(o.uid, geteuid());

    close(client); // FIN_WAIT2 then, kept for the kernel alone
    o = owner_until(accepted, [](const PeerOwner &p) { return !p.known; });
    EXPECT_FALSE(o.known) << "uid " << o.uid;
    EXPECT_NE(o.why.find("closed before it could be identified"), std::string::npos) << o.why;
    close(accepted);

    if (geteuid() == 0) { // another user's client, run by a child as nobody
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(2);
            int fd = connect_to(where);
            char c = 0;
            (void)!write(ready[1], &c, 1);
            (void)!read(fd, &c, 1); // until the test closes its end
            _exit(0);
        }
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        o = peer_owner_of_accepted(accepted);
        EXPECT_TRUE(o.known) << o.why;
        EXPECT_EQ(o.uid, 65534u);
        close(accepted);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0);
        close(ready[0]);
        close(ready[1]);
    }
    close(listener);

    // No such socket at all.
    sockaddr_in nowhere = where;
    nowhere.sin_port = htons(1);
    o = peer_owner_lookup(nowhere, where);
    EXPECT_FALSE(o.known);
    EXPECT_FALSE(o.why.empty());
}

} // namespace
