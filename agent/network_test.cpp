#include "agent/network.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "agent/access.h"
#include "tests/tempdir.h"

namespace {

TEST(Network, LinesInSettingsAndDiagnosticsOut)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    std::string path = dir.path + NETWORK_FILE;
    struct Case {
        const char *text;    // the file; nullptr: no file
        int taken;           // network_read's return
        const char *listen;  // the addresses, blank-separated
        const char *certificate, *key;
        std::vector<int> bad; // the numbers of the lines reported, in order
    } cases[] = {
        {nullptr, 0, "127.0.0.1", "", "", {}},
        {"", 0, "127.0.0.1", "", "", {}},
        {"# port 3493\n\n  listen 10.77.0.1\r\nlisten 192.0.2.4  \nlisten 10.77.0.1\n"
         "listen 127.0.0.1\n",
         4, "127.0.0.1 10.77.0.1 192.0.2.4", "", "", {}},
        {"certificate /etc/ups/cert.pem\nkey  ups key.pem\ncertificate /etc/ups/new.pem\n", 3,
         "127.0.0.1", "/etc/ups/new.pem", "KEY", {}},
        {"listen 10.0.0.1\nlisten 0.0.0.0\nlisten 10.0.0.2\n", 3, "0.0.0.0", "", "", {}},
        // A second "every address" keeps the one already there (found by fuzzing:
        // the list was cleared and left empty, so port 3493 bound nothing).
        {"listen 0.0.0.0\nlisten 0.0.0.0\n", 2, "0.0.0.0", "", "", {}},
        {"listen ::1\nlisten fe80::1%eth0\nlisten 10.1\nlisten 300.0.0.1\nlisten\n"
         "listen 10.0.0.1 10.0.0.2\nport 3493\nLISTEN 10.0.0.3\nkey\ncertificate\n"
         "listen 10.0.0.4\n",
         1, "127.0.0.1 10.0.0.4", "", "", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
    };
    for (const Case &c : cases) {
        std::remove(path.c_str());
        if (c.text)
            std::ofstream(path) << c.text;
        NetworkSettings s;
        s.listen.push_back(1); // what a previous read left is forgotten
        s.key = "old";
        testing::internal::CaptureStdout();
        EXPECT_EQ(network_read(path, &s), c.taken) << c.text;
        std::string out = testing::internal::GetCapturedStdout();
        std::string listen;
        for (uint32_t a : s.listen)
            listen += (listen.empty() ? "" : " ") + access_address_text(a);
        EXPECT_EQ(listen, c.listen) << c.text;
        EXPECT_EQ(s.certificate, c.certificate) << c.text;
        EXPECT_EQ(s.key, std::string(c.key) == "KEY" ? dir.path + "ups key.pem" : c.key)
            << "relative: below the program directory";
        std::string expected;
        for (int n : c.bad)
            expected += path + " line " + std::to_string(n) + " ";
        std::string got;
        for (size_t at = 0; (at = out.find(path + " line ", at)) != std::string::npos;) {
            size_t end = out.find(' ', at + path.size() + 6);
            got += out.substr(at, end - at) + " ";
            at = end;
        }
        EXPECT_EQ(got, expected) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(c.bad.size()))
            << out;
        if (c.text && std::string(c.text).starts_with("listen ::1")) {
            EXPECT_NE(out.find("IPv4 only"), std::string::npos) << out;
        }
    }
}

// "tls-required" alone is the setting; with a value, or misspelt, it is a
// line reported and skipped, and the default (off) holds.
TEST(Network, TlsRequired)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    std::string path = dir.path + NETWORK_FILE;
    struct {
        const char *text;
        bool required;
        int reported;
    } table[] = {
        {"listen 10.0.0.1\n", false, 0},
        {"tls-required\n", true, 0},
        {"  tls-required  \r\nlisten 10.0.0.1\n", true, 0},
        {"tls-required yes\n", false, 1},
        {"tls-required no\n", false, 1},
        {"tls_required\nTLS-REQUIRED\n", false, 2},
    };
    for (const auto &row : table) {
        std::ofstream(path) << row.text;
        NetworkSettings s;
        s.tls_required = !row.required; // a previous read is forgotten
        testing::internal::CaptureStdout();
        network_read(path, &s);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(s.tls_required, row.required) << row.text;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), row.reported) << out;
    }
}

} // namespace
