// The SMS gateway file: "Set/SMSGateway.ang" below the program directory,
// one URL template per gateway (line 1 for gateway 1, line 2 for gateway 2).
// The `sms` sender expands a template into one HTTP request; the console
// shows the gateway host names.
//
// A template is an http:// or https:// URL with the placeholders {id},
// {password}, {api_id}, {phone}, {text} and {time}. A template that begins
// with "POST " is sent as a form POST: the URL without its query part, the
// expanded query part as the body. Any other template is a GET of the
// expanded URL.
#pragma once

#include <string>

constexpr int SMS_GATEWAY_COUNT = 2;

// The values a template's placeholders stand for, as given (not encoded).
struct SmsValues {
    std::string id;       // {id}: account name at the gateway
    std::string password; // {password}: account password
    std::string api_id;   // {api_id}: API identifier some gateways want
    std::string phone;    // {phone}: one receiving phone number
    std::string text;     // {text}: message text
    std::string time;     // {time}: time stamp of the event
};

// One HTTP request made from a template.
struct SmsRequest {
    bool post;        // true: POST `body` to `url`; false: GET `url`
    std::string url;  // the expanded URL (GET) or the URL without its query part (POST)
    std::string body; // application/x-www-form-urlencoded body for POST, "" for GET
};

// program_dir + "Set/SMSGateway.ang".
std::string sms_gateway_path(const std::string &program_dir);

// Reads the templates of the gateway file into `templates` (line n into
// templates[n - 1]; a missing line gives ""; a trailing "\r" is dropped).
// When the file is missing, first creates "Set/" (0700) and the file (0600)
// with the default templates; a file another process creates meanwhile is
// kept. Returns false when the file can neither be read nor created (the
// templates are then all "").
bool sms_gateway_load(const std::string &program_dir, std::string templates[SMS_GATEWAY_COUNT]);

// The default template of gateway `index` (0-based, below SMS_GATEWAY_COUNT);
// "" for another index.
std::string sms_gateway_default(int index);

// The host name of a template as libcurl's URL parser reads it (without user
// info, port or the brackets of an IPv6 address; a "POST " prefix is
// skipped). "" when the template is not an http:// or https:// URL libcurl
// takes, or names no host.
std::string sms_gateway_host(const std::string &url_template);

// RFC 3986 percent-encoding (libcurl's curl_easy_escape): A-Z a-z 0-9 - . _ ~
// are kept, every other byte becomes %XX with upper-case hex digits. Empty
// for a value only when libcurl cannot allocate.
std::string sms_gateway_encode(const std::string &value);

// Fills `out` with the request for `url_template` and `values`, each
// placeholder replaced by its encoded value (the rest of the template kept
// byte for byte). Returns 0 on success, -1 when the template is bad: a
// control byte (below 0x20, or 0x7f) anywhere in it, no host for
// sms_gateway_host, an unknown or unterminated "{...}" placeholder, or a
// POST template without a query part. `out` is left as it was on -1.
int sms_gateway_expand(const std::string &url_template, const SmsValues &values,
                       SmsRequest *out);
