// A network namespace of the test's own, with only loopback up: fixed ports
// (2027) are free, and nothing reaches the host's network. Each test is its
// own process under ctest, so the namespace ends with it. Needs root.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

// True when the process now is in a namespace of its own with loopback up.
inline bool enter_private_network()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strcpy(ifr.ifr_name, "lo");
    bool up = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return up;
}
