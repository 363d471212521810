// IPv4 addresses as the settings files and the console write them: a host
// "A.B.C.D", a network "A.B.C.D[/BITS]" and an endpoint "A.B.C.D[:PORT]".
// Every reader of such a text parses it here and words its own diagnostic.
#pragma once

#include <cstdint>
#include <string>

// "A.B.C.D", four decimal numbers 0..255 (inet_pton's dotted form, nothing
// around it), into *address in host byte order. False for anything else.
bool ipv4_parse(const std::string &text, uint32_t *address);

// The dotted form of an IPv4 address in host byte order.
std::string ipv4_text(uint32_t address);

// A network: the addresses whose first `bits` bits are those of `network`.
struct Ipv4Network {
    uint32_t network; // host byte order, already masked
    uint32_t mask;    // `bits` leading ones
    int bits;         // prefix length 0..32
};

// "A.B.C.D" (a network of one, 32 bits) or "A.B.C.D/BITS" with BITS 0..32
// in digits. False for anything else (then *out is left alone).
bool ipv4_parse_network(const std::string &text, Ipv4Network *out);

// What ipv4_parse_endpoint makes of a text.
enum { IPV4_ENDPOINT_OK = 0, IPV4_ENDPOINT_BAD_HOST = 1, IPV4_ENDPOINT_BAD_PORT = 2 };

// "A.B.C.D" or "A.B.C.D:PORT" (PORT 1..65535, digits only, no leading
// zero). Sets *host to the address text and *port (`default_port` without
// one) on IPV4_ENDPOINT_OK and leaves both alone otherwise.
int ipv4_parse_endpoint(const std::string &text, int default_port, std::string *host, int *port);
