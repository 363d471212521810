#include "store/sms_gateway.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "store/paths.h"
#include "store/textfile.h"

// Written when the file is missing: placeholder hosts the operator replaces
// with the gateways of their own accounts.
static const char *const DEFAULT_TEMPLATES[SMS_GATEWAY_COUNT] = {
    "https://sms1.example.com/api/send?user={id}&password={password}&to={phone}"
    "&text={text}&time={time}",
    "POST https://sms2.example.com/http/sendmsg?user={id}&password={password}"
    "&api_id={api_id}&to={phone}&text={text}",
};

// The file holds a few short lines; anything past this is ignored.
static const int FILE_LIMIT = 65536;

// Numbers the files create_defaults writes, so threads of one process never
// share one either.
static std::atomic<unsigned> own_files{0};

static const char POST_PREFIX[] = "POST ";
static const size_t POST_PREFIX_LENGTH = sizeof POST_PREFIX - 1;

std::string sms_gateway_path(const std::string &program_dir)
{
    return join_path(program_dir, "Set/SMSGateway.ang");
}

std::string sms_gateway_default(int index)
{
    if (index < 0 || index >= SMS_GATEWAY_COUNT)
        return "";
    return DEFAULT_TEMPLATES[index];
}

static bool read_templates(const std::string &path, std::string templates[SMS_GATEWAY_COUNT])
{
    std::vector<char> data(FILE_LIMIT);
    int size = read_file(path, data.data(), FILE_LIMIT);
    if (size < 0)
        return false;
    std::vector<char> line(FILE_LIMIT + 1);
    int pos = 0;
    for (int i = 0; i < SMS_GATEWAY_COUNT && pos < size; i++) {
        int next = read_line(line.data(), static_cast<int>(line.size()), data.data(), pos, size);
        std::string text = line.data();
        if (!text.empty() && text.back() == '\r') // edited on another system
            text.pop_back();
        templates[i] = text;
        if (next == 0) // an unterminated last line
            break;
        pos = next;
    }
    return true;
}

static bool create_defaults(const std::string &program_dir, const std::string &path)
{
    if (!ensure_dir(join_path(program_dir, "Set/")))
        return false;
    std::string text;
    for (int i = 0; i < SMS_GATEWAY_COUNT; i++)
        text += std::string(DEFAULT_TEMPLATES[i]) + "\n";
    // The daemon starts one sender per phone number at the same moment, so
    // several may find the file missing together. Each writes a file of its
    // own and links it into place: a reader never sees a half-written file,
    // and a file another process put there first is never replaced.
    std::string own = path + "." + std::to_string(getpid()) + "." + std::to_string(own_files++);
    if (!write_file(own, text.data(), static_cast<int>(text.size()), 0600))
        return false;
    bool ok = link(own.c_str(), path.c_str()) == 0 || errno == EEXIST;
    if (!ok && (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS))
        ok = rename(own.c_str(), path.c_str()) == 0; // no hard links on this file system
    unlink(own.c_str());
    return ok;
}

bool sms_gateway_load(const std::string &program_dir, std::string templates[SMS_GATEWAY_COUNT])
{
    for (int i = 0; i < SMS_GATEWAY_COUNT; i++)
        templates[i].clear();
    std::string path = sms_gateway_path(program_dir);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT)
        create_defaults(program_dir, path); // a failure shows in the read below
    return read_templates(path, templates);
}

static bool is_post(const std::string &url_template)
{
    return url_template.compare(0, POST_PREFIX_LENGTH, POST_PREFIX) == 0;
}

// The host of `url` as libcurl reads it, without an IPv6 address's
// brackets; "" when libcurl refuses the URL, its scheme is neither http nor
// https, or it names no host. Placeholders stand where libcurl takes them
// (path, query, user info), and blanks are let through as the template has
// them: the gateway, not this reader, judges the values.
static std::string url_host(const std::string &url)
{
    CURLU *parsed = curl_url();
    if (!parsed)
        return "";
    char *scheme = nullptr, *host = nullptr;
    std::string result;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_ALLOW_SPACE) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
        std::string name = scheme;
        // libcurl takes one to three slashes after the scheme; a template
        // has two, so "https:///x" names no host (rather than host "x").
        bool two_slashes = url.compare(name.size(), 3, "://") == 0 &&
                           url.compare(name.size() + 3, 1, "/") != 0;
        if ((name == "http" || name == "https") && two_slashes)
            result = host;
    }
    curl_free(scheme);
    curl_free(host);
    curl_url_cleanup(parsed);
    if (result.size() >= 2 && result.front() == '[' && result.back() == ']')
        result = result.substr(1, result.size() - 2);
    return result;
}

std::string sms_gateway_host(const std::string &url_template)
{
    return url_host(url_template.substr(is_post(url_template) ? POST_PREFIX_LENGTH : 0));
}

std::string sms_gateway_encode(const std::string &value)
{
    char *encoded = curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size()));
    std::string out = encoded ? encoded : "";
    curl_free(encoded);
    return out;
}

// Replaces every placeholder of `part`. Returns false on an unknown or
// unterminated placeholder.
static bool expand_part(const std::string &part, const SmsValues &v, std::string *out)
{
    struct Placeholder {
        const char *name;
        const std::string *value;
    };
    const Placeholder known[] = {
        {"{id}", &v.id},         {"{password}", &v.password}, {"{api_id}", &v.api_id},
        {"{phone}", &v.phone},   {"{text}", &v.text},         {"{time}", &v.time},
    };
    std::string result;
    size_t pos = 0;
    while (pos < part.size()) {
        if (part[pos] != '{') {
            result += part[pos++];
            continue;
        }
        size_t close = part.find('}', pos);
        if (close == std::string::npos)
            return false;
        std::string name = part.substr(pos, close + 1 - pos);
        const std::string *value = nullptr;
        for (const Placeholder &p : known) {
            if (name == p.name)
                value = p.value;
        }
        if (!value)
            return false;
        std::string encoded = sms_gateway_encode(*value);
        if (encoded.empty() && !value->empty()) // libcurl could not allocate
            return false;
        result += encoded;
        pos = close + 1;
    }
    *out = result;
    return true;
}

// A control byte (a line break, a NUL, DEL) in the template itself would end
// or split the request line; refused here rather than left to the HTTP
// library's checks.
static bool has_control_byte(const std::string &text)
{
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

int sms_gateway_expand(const std::string &url_template, const SmsValues &values, SmsRequest *out)
{
    if (has_control_byte(url_template) || sms_gateway_host(url_template).empty())
        return -1;
    SmsRequest request;
    request.post = is_post(url_template);
    std::string url = url_template.substr(request.post ? POST_PREFIX_LENGTH : 0);
    if (!request.post) {
        if (!expand_part(url, values, &request.url))
            return -1;
        *out = request;
        return 0;
    }
    size_t query = url.find('?');
    if (query == std::string::npos) // nothing to put in the body
        return -1;
    if (!expand_part(url.substr(0, query), values, &request.url) ||
        !expand_part(url.substr(query + 1), values, &request.body))
        return -1;
    *out = request;
    return 0;
}
