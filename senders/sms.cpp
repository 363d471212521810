// sms: sends one event message through an HTTP SMS gateway. The daemon
// starts it with exactly six arguments:
//
//   sms GATEWAY ID PHONE API_ID TIMESTAMP " <message>"
//
// GATEWAY is the 1-based line of "Set/SMSGateway.ang" below this program's
// directory (written with defaults when missing); the line's URL template
// gets the other arguments URL-encoded (see store/sms_gateway.h), and the
// password from line 4 of "Set/SMS.ang" beside it: read here, so it is on
// no command line.
//
// Exit status: 0 the gateway answered 2xx; 1 no answer or another answer;
// 2 bad arguments; 3 no usable gateway (file unreadable, unknown gateway
// number, no line or a bad template). Every failure prints exactly one line
// on standard error.
#include <string>

#include "senders/sender.h"
#include "senders/sms_args.h"
#include "store/paths.h"
#include "store/sms_gateway.h"
#include "store/textfile.h"

static const char PROGRAM[] = "sms";

static const int EXIT_SENT = 0;
static const int EXIT_FAILED = 1;
static const int EXIT_GATEWAY = 3;

// Line 4 of "Set/SMS.ang" below `dir`, the account password the daemon's
// store keeps there (0600); a missing file or line: empty.
static std::string sms_password(const std::string &dir)
{
    char data[2048];
    int size = read_file(dir + "Set/SMS.ang", data, sizeof data);
    char skip[3][256], password[256] = "";
    char *fields[] = {skip[0], skip[1], skip[2], password};
    int sizes[] = {256, 256, 256, sizeof password};
    if (size > 0)
        read_lines(data, size, fields, sizes, 4);
    return password;
}

// The answer body is of no interest; without this it would go to stdout.
static size_t sms_discard(char *, size_t size, size_t count, void *)
{
    return size * count;
}

// Sends the request. Returns the exit status.
static int sms_send(int gateway, const SmsRequest &request)
{
    CURL *curl = curl_easy_init();
    if (!curl)
        return sender_fail(PROGRAM, "cannot start a transfer", EXIT_FAILED);
    char error[CURL_ERROR_SIZE];
    sender_limit(curl, error);
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, sms_discard);
    if (request.post) {
        // Sent as application/x-www-form-urlencoded, libcurl's default.
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
    }
    CURLcode result = curl_easy_perform(curl);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    std::string name = "gateway " + std::to_string(gateway);
    if (result != CURLE_OK)
        return sender_fail(PROGRAM, name + ": " + sender_reason(result, error), EXIT_FAILED);
    if (code < 200 || code > 299)
        return sender_fail(PROGRAM, name + " answered HTTP " + std::to_string(code), EXIT_FAILED);
    return EXIT_SENT;
}

int main(int argc, char **argv)
{
    SmsArgs args;
    int usage = sms_args_parse(argc, argv, &args);
    if (usage != 0)
        return usage;
    int gateway = args.gateway;

    std::string dir = program_dir_from(argv[0]);
    args.values.password = sms_password(dir);
    std::string path = sms_gateway_path(dir);
    std::string templates[SMS_GATEWAY_COUNT];
    if (!sms_gateway_load(dir, templates))
        return sender_fail(PROGRAM, "cannot read or create " + path, EXIT_GATEWAY);
    if (gateway < 1 || gateway > SMS_GATEWAY_COUNT)
        return sender_fail(PROGRAM, "unknown gateway " + std::to_string(gateway) + " (1 to " +
                                        std::to_string(SMS_GATEWAY_COUNT) + ")", EXIT_GATEWAY);
    const std::string &url_template = templates[gateway - 1];
    if (url_template.empty())
        return sender_fail(PROGRAM, "gateway " + std::to_string(gateway) + " has no line in " + path,
                           EXIT_GATEWAY);
    SmsRequest request;
    if (sms_gateway_expand(url_template, args.values, &request) != 0)
        return sender_fail(PROGRAM, "gateway " + std::to_string(gateway) + ": bad URL template in " +
                                        path, EXIT_GATEWAY);

    if (!sender_start(PROGRAM, EXIT_FAILED))
        return sender_fail(PROGRAM, "cannot initialise libcurl", EXIT_FAILED);
    int status = sms_send(gateway, request);
    curl_global_cleanup();
    return status;
}
