#include "agent/users.h"

#include <crypt.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "base/log.h"
#include "store/textfile.h"

using Guard = std::lock_guard<std::mutex>;

struct User {
    std::string name;
    std::string hash;
    int roles; // USER_* bits
    uint64_t generation; // kept over a reload that leaves hash and roles as they were
};

static std::mutex lock;
static std::vector<User> users;
static uint64_t last_generation = 0; // the latest stamp given
// What an unknown name is checked against: the first user's hash kind and
// cost with a salt of its own, so a miss takes as long as a wrong password.
static std::string dummy_hash = "$6$dummydummydummy$";
static long crypt_runs = 0;

static const char DEFAULT_TEXT[] =
    "# Users of port 3493, one per line: NAME HASH ROLE[,ROLE...]\n"
    "# HASH is a crypt(3) hash, made with: openssl passwd -6 (or mkpasswd -m yescrypt)\n"
    "# ROLE is monitor-primary, monitor-secondary or instcmd.\n";

static const struct {
    const char *word;
    int role;
} role_table[] = {
    {"monitor-primary", USER_PRIMARY},
    {"monitor-secondary", USER_SECONDARY},
    {"instcmd", USER_INSTCMD},
};

// The roles of "a,b c" (commas or blanks between them); -1 when one is unknown.
static int roles_of(const std::string &text)
{
    int roles = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of(", \t", i);
        if (end == std::string::npos)
            end = text.size();
        std::string word = text.substr(i, end - i);
        if (!word.empty()) {
            int found = -1;
            for (const auto &r : role_table)
                if (word == r.word)
                    found = r.role;
            if (found < 0)
                return -1;
            roles |= found;
        }
        i = end + 1;
    }
    return roles;
}

// "$id$salt$hash" or "$id$rounds=N$salt$hash": at least three '$'.
static bool crypt_form(const std::string &hash)
{
    int dollars = 0;
    for (char c : hash)
        dollars += c == '$';
    return hash.size() > 4 && hash[0] == '$' && dollars >= 3;
}

// The hash methods taken: those a guess costs real work against. MD5-crypt,
// DES and the other old ones are cracked by the million a second.
static const char *const STRONG_METHODS[] = {"$y$", "$gy$", "$7$", "$2b$", "$2y$", "$6$", "$5$"};

const char *users_hash_refusal(const std::string &hash)
{
    if (hash.compare(0, 3, "$1$") == 0)
        return "has an MD5-crypt hash ($1$), which is refused";
    if (hash.empty() || hash[0] != '$')
        return "has no crypt(3) hash but a DES one or a clear password, which is refused";
    if (!crypt_form(hash))
        return "has no crypt(3) hash";
    for (const char *method : STRONG_METHODS)
        if (hash.compare(0, strlen(method), method) == 0)
            return nullptr;
    return "has a crypt(3) hash of a weak or unknown method, which is refused";
}

// How to make a hash that is taken, for the lines about refused ones.
static const char HOW_TO_HASH[] =
    "make a SHA-512 hash with \"openssl passwd -6\" or \"mkpasswd -m sha-512\", or a yescrypt "
    "one with \"mkpasswd -m yescrypt\"";

// The setting of `hash` ("$id$[rounds=N$]") with a fixed salt: crypt(3)
// costs the same with it as with the user's own.
static std::string dummy_of(const std::string &hash)
{
    size_t end = hash.find('$', 1); // after the id
    if (end != std::string::npos && hash.compare(end + 1, 7, "rounds=") == 0)
        end = hash.find('$', end + 1);
    if (hash.compare(0, 3, "$y$") == 0) // yescrypt: "$y$PARAMS$SALT$": the salt is its own kind
        return end == std::string::npos ? "$6$dummydummydummy$"
                                        : hash.substr(0, end + 1) + "JDJ5bWR1bW15ZHVtbXk$";
    return end == std::string::npos ? "$6$dummydummydummy$"
                                    : hash.substr(0, end + 1) + "dummydummydummy$";
}

int users_load(const std::string &path)
{
    char data[16384];
    int size = read_or_create(path, data, sizeof data - 1, DEFAULT_TEXT);
    bool readable = size >= 0;
    if (!readable) { // then no entry at all
        log_warning("upsagent: cannot read or create %s: nobody may log in on port 3493",
                    path.c_str());
        size = 0;
    }
    // Like a private key: a file others may read gives away the hashes to
    // guess at, one others may write gives away the port.
    struct stat st;
    if (readable && stat(path.c_str(), &st) == 0 && !users_mode_ok(st.st_mode)) {
        log_warning("upsagent: %s has mode %04o, open to others than its owner: no user is "
                    "taken and nobody may log in on port 3493 (chmod 600 %s)",
                    path.c_str(), static_cast<unsigned>(st.st_mode & 07777), path.c_str());
        size = 0;
    }
    std::vector<User> loaded;
    for (const TextLine &line : setting_lines(data, size)) {
        char name[64], hash[256];
        int used = 0;
        const char *why = nullptr;
        bool weak = false;
        int roles = -1;
        if (sscanf(line.text.c_str(), "%63s %255s %n", name, hash, &used) != 2 || used == 0)
            why = "is not \"NAME HASH ROLE[,ROLE...]\"";
        else if ((why = users_hash_refusal(hash)) != nullptr)
            weak = true;
        else if ((roles = roles_of(line.text.substr(used))) <= 0)
            why = "names no role or an unknown one (monitor-primary, monitor-secondary, instcmd)";
        for (const User &u : loaded)
            if (!why && u.name == name)
                why = "repeats a user";
        if (why) {
            log_warning("upsagent: %s line %d %s%s%s", path.c_str(), line.number, why,
                        weak ? ": " : "", weak ? HOW_TO_HASH : "");
            continue;
        }
        loaded.push_back({name, hash, roles, 0});
    }
    Guard g(lock);
    for (User &u : loaded) {
        for (const User &old : users)
            if (old.name == u.name && old.hash == u.hash && old.roles == u.roles)
                u.generation = old.generation;
        if (u.generation == 0)
            u.generation = ++last_generation;
    }
    if (!loaded.empty())
        dummy_hash = dummy_of(loaded.front().hash);
    users.swap(loaded);
    return readable ? static_cast<int>(users.size()) : -1;
}

bool users_mode_ok(unsigned mode)
{
    return (mode & 077) == 0;
}

// Equal strings in a time that does not tell where they differ.
static bool same(const std::string &a, const std::string &b)
{
    unsigned char diff = a.size() != b.size();
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

int users_check(const std::string &name, const std::string &password, uint64_t *generation)
{
    std::string hash;
    int roles = -1;
    uint64_t stamp = 0;
    {
        Guard g(lock);
        hash = dummy_hash;
        for (const User &u : users)
            if (u.name == name) {
                hash = u.hash;
                roles = u.roles;
                stamp = u.generation;
            }
        crypt_runs++;
    }
    // An unknown name costs a crypt too: the reply's time must not tell.
    auto work = std::make_unique<crypt_data>(); // about 32 KiB: not on the stack
    const char *made = crypt_r(password.c_str(), hash.c_str(), work.get());
    bool match = made && made[0] != '*' && same(made, hash);
    if (roles < 0 || !match)
        return -1;
    if (generation)
        *generation = stamp;
    return roles;
}

bool users_current(const std::string &name, uint64_t generation)
{
    Guard g(lock);
    for (const User &u : users)
        if (u.name == name)
            return u.generation == generation;
    return false;
}

long users_crypt_runs()
{
    Guard g(lock);
    return crypt_runs;
}
