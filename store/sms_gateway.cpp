#include "store/sms_gateway.h"

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

static bool starts_with_nocase(const std::string &text, size_t pos, const char *prefix)
{
    for (size_t i = 0; prefix[i]; i++) {
        if (pos + i >= text.size())
            return false;
        char c = text[pos + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// Position just after "http://" or "https://" at `pos`; 0 when neither.
static size_t after_scheme(const std::string &text, size_t pos)
{
    if (starts_with_nocase(text, pos, "http://"))
        return pos + 7;
    if (starts_with_nocase(text, pos, "https://"))
        return pos + 8;
    return 0;
}

static bool is_post(const std::string &url_template)
{
    return url_template.compare(0, POST_PREFIX_LENGTH, POST_PREFIX) == 0;
}

std::string sms_gateway_host(const std::string &url_template)
{
    size_t start = after_scheme(url_template, is_post(url_template) ? POST_PREFIX_LENGTH : 0);
    if (start == 0)
        return "";
    size_t end = url_template.find_first_of("/?#", start);
    if (end == std::string::npos)
        end = url_template.size();
    std::string authority = url_template.substr(start, end - start);
    size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos)
            return "";
        return authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

std::string sms_gateway_encode(const std::string &value)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (char ch : value) {
        unsigned char c = static_cast<unsigned char>(ch);
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '~';
        if (keep) {
            out += ch;
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
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
        result += sms_gateway_encode(*value);
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
