#include "base/address.h"

#include <arpa/inet.h>

#include <cstdlib>

bool ipv4_parse(const std::string &text, uint32_t *address)
{
    in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *address = ntohl(a.s_addr);
    return true;
}

std::string ipv4_text(uint32_t address)
{
    in_addr a;
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool ipv4_parse_network(const std::string &text, Ipv4Network *out)
{
    int bits = 32;
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        long value = std::strtol(digits.c_str(), nullptr, 10); // LONG_MAX when too long
        if (value > 32)
            return false;
        bits = static_cast<int>(value);
    }
    uint32_t address;
    if (!ipv4_parse(text.substr(0, slash), &address))
        return false;
    out->mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    out->network = address & out->mask;
    out->bits = bits;
    return true;
}

int ipv4_parse_endpoint(const std::string &text, int default_port, std::string *host, int *port)
{
    size_t colon = text.find(':');
    std::string address = text.substr(0, colon);
    uint32_t unused;
    if (!ipv4_parse(address, &unused))
        return IPV4_ENDPOINT_BAD_HOST;
    int number = default_port;
    if (colon != std::string::npos) {
        std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits[0] == '0' ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return IPV4_ENDPOINT_BAD_PORT;
        number = std::atoi(digits.c_str());
        if (number > 65535)
            return IPV4_ENDPOINT_BAD_PORT;
    }
    *host = address;
    *port = number;
    return IPV4_ENDPOINT_OK;
}
