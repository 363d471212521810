#include "store/sms_gateway.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/tempdir.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_text(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

SmsValues sample_values()
{
    SmsValues v;
    v.id = "acct";
    v.password = "p&ss=w rd";
    v.api_id = "3141";
    v.phone = "+49 170 1234";
    v.text = " Machine1 AC Failed";
    v.time = "2026/12/07 10:00:05";
    return v;
}

// --- encoding ---------------------------------------------------------------

TEST(SmsGatewayEncode, UnreservedCharactersAreKept)
{
    std::string unreserved = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
    EXPECT_EQ(sms_gateway_encode(unreserved), unreserved);
    EXPECT_EQ(sms_gateway_encode(""), "");
}

TEST(SmsGatewayEncode, BlankBecomesPercent20NotPlus)
{
    EXPECT_EQ(sms_gateway_encode(" Machine1 AC Failed"), "%20Machine1%20AC%20Failed");
}

TEST(SmsGatewayEncode, QuerySeparatorsAreEncoded)
{
    EXPECT_EQ(sms_gateway_encode("a&b=c+d%e"), "a%26b%3Dc%2Bd%25e");
    EXPECT_EQ(sms_gateway_encode("?#/:@{}"), "%3F%23%2F%3A%40%7B%7D");
}

TEST(SmsGatewayEncode, BytesAboveAsciiAndControlsUseUpperCaseHex)
{
    EXPECT_EQ(sms_gateway_encode("\xc3\xa9t\xc3\xa9"), "%C3%A9t%C3%A9"); // "été" in UTF-8
    EXPECT_EQ(sms_gateway_encode("\xff\x7f\n\r"), "%FF%7F%0A%0D");
}

// --- expansion ----------------------------------------------------------------

TEST(SmsGatewayExpand, EveryPlaceholderGetsItsEncodedValue)
{
    SmsRequest r;
    ASSERT_EQ(sms_gateway_expand("https://sms.example.com/send?u={id}&p={password}&a={api_id}"
                                 "&to={phone}&m={text}&t={time}",
                                 sample_values(), &r),
              0);
    EXPECT_FALSE(r.post);
    EXPECT_EQ(r.url, "https://sms.example.com/send?u=acct&p=p%26ss%3Dw%20rd&a=3141"
                     "&to=%2B49%20170%201234&m=%20Machine1%20AC%20Failed"
                     "&t=2026%2F12%2F07%2010%3A00%3A05");
    EXPECT_EQ(r.body, "");
}

TEST(SmsGatewayExpand, PlaceholderMayRepeatAndStandInThePath)
{
    SmsRequest r;
    ASSERT_EQ(sms_gateway_expand("http://sms.example.com/{id}/send?a={id}&b={id}", sample_values(), &r), 0);
    EXPECT_EQ(r.url, "http://sms.example.com/acct/send?a=acct&b=acct");
}

TEST(SmsGatewayExpand, TemplateWithoutPlaceholdersIsKeptAsWritten)
{
    SmsRequest r;
    ASSERT_EQ(sms_gateway_expand("http://sms.example.com/ping?x=%41", sample_values(), &r), 0);
    EXPECT_EQ(r.url, "http://sms.example.com/ping?x=%41");
}

TEST(SmsGatewayExpand, PostSplitsUrlAndFormBody)
{
    SmsRequest r;
    ASSERT_EQ(sms_gateway_expand("POST https://sms2.example.com:8443/http/sendmsg?user={id}"
                                 "&api_id={api_id}&text={text}",
                                 sample_values(), &r),
              0);
    EXPECT_TRUE(r.post);
    EXPECT_EQ(r.url, "https://sms2.example.com:8443/http/sendmsg");
    EXPECT_EQ(r.body, "user=acct&api_id=3141&text=%20Machine1%20AC%20Failed");
}

TEST(SmsGatewayExpand, LowerCaseSchemeAndUpperCaseSchemeBothWork)
{
    SmsRequest r;
    EXPECT_EQ(sms_gateway_expand("HTTP://sms.example.com/?t={time}", sample_values(), &r), 0);
    EXPECT_EQ(sms_gateway_expand("Https://sms.example.com/?t={time}", sample_values(), &r), 0);
}

TEST(SmsGatewayExpand, BadTemplatesAreRefusedAndLeaveTheRequestAlone)
{
    const char *bad[] = {
        "",
        "sms.example.com/send?to={phone}",        // no scheme
        "ftp://sms.example.com/send?to={phone}",  // not HTTP
        "http:///send?to={phone}",                // no host
        "https://sms.example.com/?to={phone",     // unterminated placeholder
        "https://sms.example.com/?to={fone}",     // unknown placeholder
        "https://sms.example.com/?to={PHONE}",    // names are lower case
        "POST https://sms.example.com/send",      // nothing for the body
        "POST https://sms.example.com/?to={x}",   // unknown placeholder in the body
        "POST https://sms.example.com/{x}?to=1",  // unknown placeholder in the URL
        "POST ftp://sms.example.com/send?to=1",
        "https://sms.example.com/?to={phone}\r\nX-Extra: 1", // a line break in the template
        "https://sms.example.com/?to={phone}&a=\tb",  // any control byte
        "https://sms.example.com/?to=\x7f",           // DEL
        "POST https://sms.example.com/?to={phone}\n", // in a POST body too
    };
    for (const char *t : bad) {
        SmsRequest r = {true, "untouched", "untouched"};
        EXPECT_EQ(sms_gateway_expand(t, sample_values(), &r), -1) << t;
        EXPECT_EQ(r.url, "untouched") << t;
        EXPECT_EQ(r.body, "untouched") << t;
    }
}

TEST(SmsGatewayExpand, ValueCannotAddParameters)
{
    SmsValues v = sample_values();
    v.text = "hi&to=+1999";
    SmsRequest r;
    ASSERT_EQ(sms_gateway_expand("POST http://sms.example.com/s?to={phone}&text={text}", v, &r), 0);
    EXPECT_EQ(r.body, "to=%2B49%20170%201234&text=hi%26to%3D%2B1999");
}

// --- host names ---------------------------------------------------------------

TEST(SmsGatewayHost, PlainHttpsUrl)
{
    EXPECT_EQ(sms_gateway_host("https://sms1.example.com/api/send?user={id}"), "sms1.example.com");
    EXPECT_EQ(sms_gateway_host("http://sms1.example.com"), "sms1.example.com");
    EXPECT_EQ(sms_gateway_host("http://sms1.example.com?to={phone}"), "sms1.example.com");
}

TEST(SmsGatewayHost, PortAndUserInfoAreDropped)
{
    EXPECT_EQ(sms_gateway_host("http://sms.example.com:8080/send"), "sms.example.com");
    EXPECT_EQ(sms_gateway_host("https://user:pw@sms.example.com:8443/x"), "sms.example.com");
    // A second '@' is no URL libcurl sends to, so it names no gateway.
    EXPECT_EQ(sms_gateway_host("https://a@b@sms.example.com/x"), "");
    EXPECT_EQ(sms_gateway_host("https://[2001:db8::1]:8443/x"), "2001:db8::1");
}

TEST(SmsGatewayHost, PostPrefixIsSkipped)
{
    EXPECT_EQ(sms_gateway_host("POST https://sms2.example.com/http/sendmsg?user={id}"),
              "sms2.example.com");
}

TEST(SmsGatewayHost, GarbageGivesEmpty)
{
    EXPECT_EQ(sms_gateway_host(""), "");
    EXPECT_EQ(sms_gateway_host("not a url"), "");
    EXPECT_EQ(sms_gateway_host("sms.example.com/send"), "");
    EXPECT_EQ(sms_gateway_host("ftp://sms.example.com/"), "");
    EXPECT_EQ(sms_gateway_host("http://"), "");
    EXPECT_EQ(sms_gateway_host("https:///path"), "");
    EXPECT_EQ(sms_gateway_host("https:/sms.example.com/path"), "");
    EXPECT_EQ(sms_gateway_host("https://user@/path"), "");
    EXPECT_EQ(sms_gateway_host("https://[::1/path"), "");
    EXPECT_EQ(sms_gateway_host("GET https://sms.example.com/"), "");
}

// --- the file -----------------------------------------------------------------

TEST(SmsGatewayFile, MissingFileIsWrittenWithDefaultsAndMode0600)
{
    TempProgramDir dir;
    std::string templates[SMS_GATEWAY_COUNT] = {"stale", "stale"};
    ASSERT_TRUE(sms_gateway_load(dir.path, templates));
    std::string path = dir.path + "Set/SMSGateway.ang";
    EXPECT_EQ(sms_gateway_path(dir.path), path);
    struct stat st;
    ASSERT_EQ(stat((dir.path + "Set").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(slurp(path), sms_gateway_default(0) + "\n" + sms_gateway_default(1) + "\n");
    EXPECT_EQ(templates[0], sms_gateway_default(0));
    EXPECT_EQ(templates[1], sms_gateway_default(1));
    // Nothing but the file is left behind.
    int entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir.path + "Set")) {
        (void)e;
        entries++;
    }
    EXPECT_EQ(entries, 1);
}

TEST(SmsGatewayFile, DefaultsAreUsableTemplatesOnPlaceholderHosts)
{
    EXPECT_EQ(sms_gateway_default(-1), "");
    EXPECT_EQ(sms_gateway_default(SMS_GATEWAY_COUNT), "");
    EXPECT_EQ(sms_gateway_host(sms_gateway_default(0)), "sms1.example.com");
    EXPECT_EQ(sms_gateway_host(sms_gateway_default(1)), "sms2.example.com");
    SmsRequest r;
    ASSERT_EQ(sms_gateway_expand(sms_gateway_default(0), sample_values(), &r), 0);
    EXPECT_FALSE(r.post);
    EXPECT_NE(r.url.find("text=%20Machine1%20AC%20Failed"), std::string::npos) << r.url;
    EXPECT_NE(r.url.find("time=2026%2F12%2F07"), std::string::npos) << r.url;
    ASSERT_EQ(sms_gateway_expand(sms_gateway_default(1), sample_values(), &r), 0);
    EXPECT_TRUE(r.post);
    EXPECT_EQ(r.url.find('?'), std::string::npos) << r.url;
    EXPECT_NE(r.body.find("api_id=3141"), std::string::npos) << r.body;
}

TEST(SmsGatewayFile, ExistingFileIsReadAndNeverRewritten)
{
    TempProgramDir dir;
    std::string path = dir.path + "Set/SMSGateway.ang";
    std::string text = "http://a.example.com/?t={text}\nPOST http://b.example.com/s?t={text}\n";
    write_text(path, text);
    std::string templates[SMS_GATEWAY_COUNT];
    ASSERT_TRUE(sms_gateway_load(dir.path, templates));
    EXPECT_EQ(templates[0], "http://a.example.com/?t={text}");
    EXPECT_EQ(templates[1], "POST http://b.example.com/s?t={text}");
    EXPECT_EQ(slurp(path), text);
}

TEST(SmsGatewayFile, HandEditedFileWithCrlfLineEnds)
{
    TempProgramDir dir;
    write_text(dir.path + "Set/SMSGateway.ang",
               "http://a.example.com/?t={text}\r\nPOST http://b.example.com/s?t={text}\r\n");
    std::string templates[SMS_GATEWAY_COUNT];
    ASSERT_TRUE(sms_gateway_load(dir.path, templates));
    EXPECT_EQ(templates[0], "http://a.example.com/?t={text}");
    EXPECT_EQ(templates[1], "POST http://b.example.com/s?t={text}");
    SmsRequest r;
    ASSERT_EQ(sms_gateway_expand(templates[1], sample_values(), &r), 0);
    EXPECT_EQ(r.body, "t=%20Machine1%20AC%20Failed") << "no %0D at the end";
}

TEST(SmsGatewayFile, ShortFilesLeaveMissingLinesEmpty)
{
    TempProgramDir dir;
    std::string path = dir.path + "Set/SMSGateway.ang";
    std::string templates[SMS_GATEWAY_COUNT];

    write_text(path, "http://a.example.com/?t={text}"); // no newline at all
    ASSERT_TRUE(sms_gateway_load(dir.path, templates));
    EXPECT_EQ(templates[0], "http://a.example.com/?t={text}");
    EXPECT_EQ(templates[1], "");

    write_text(path, "\nhttp://b.example.com/?t={text}\nextra line\n");
    ASSERT_TRUE(sms_gateway_load(dir.path, templates));
    EXPECT_EQ(templates[0], "");
    EXPECT_EQ(templates[1], "http://b.example.com/?t={text}");

    write_text(path, "");
    templates[0] = templates[1] = "stale";
    ASSERT_TRUE(sms_gateway_load(dir.path, templates));
    EXPECT_EQ(templates[0], "");
    EXPECT_EQ(templates[1], "");
    EXPECT_EQ(slurp(path), "") << "an empty file is the operator's choice, not a missing one";
}

TEST(SmsGatewayFile, NeitherReadableNorCreatableGivesFalse)
{
    TempProgramDir dir;
    std::string templates[SMS_GATEWAY_COUNT] = {"stale", "stale"};
    EXPECT_FALSE(sms_gateway_load(dir.path + "no/such/dir/", templates));
    EXPECT_EQ(templates[0], "");
    EXPECT_EQ(templates[1], "");
}

// Senders started together for several phone numbers all find the file
// missing; each must still read complete defaults.
TEST(SmsGatewayFile, SendersStartedTogetherAllReadTheDefaults)
{
    const int SENDERS = 12;
    for (int round = 0; round < 5; round++) {
        TempProgramDir dir;
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < SENDERS; i++) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(gate[1]);
                char c;
                while (read(gate[0], &c, 1) > 0) {
                } // released together when the parent closes its end
                std::string templates[SMS_GATEWAY_COUNT];
                bool ok = sms_gateway_load(dir.path, templates) &&
                          templates[0] == sms_gateway_default(0) &&
                          templates[1] == sms_gateway_default(1);
                _exit(ok ? 0 : 1);
            }
            children.push_back(pid);
        }
        close(gate[0]);
        close(gate[1]);
        int failed = 0;
        for (pid_t pid : children) {
            int status = 0;
            waitpid(pid, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                failed++;
        }
        EXPECT_EQ(failed, 0) << "round " << round;
        EXPECT_EQ(slurp(dir.path + "Set/SMSGateway.ang"),
                  sms_gateway_default(0) + "\n" + sms_gateway_default(1) + "\n");
    }
}

} // namespace
