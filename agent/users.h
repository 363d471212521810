// Who may log in on port 3493: "Set/Users.ang" holds one line per user,
//     NAME HASH ROLE[,ROLE...]
// where HASH is a crypt(3) hash with its salt ("openssl passwd -6" makes
// one), never the clear password, and the roles are what the user may do:
// `monitor-primary`, `monitor-secondary`, `instcmd`. The file is read at
// start-up and on "RefreshSet"; without users a client may only read.
#pragma once

#include <cstdint>
#include <string>

// The file's name below the program directory.
constexpr const char *USERS_FILE = "Set/Users.ang";

enum {
    USER_PRIMARY = 1,   // monitor-primary: LOGIN, PRIMARY and FSD
    USER_SECONDARY = 2, // monitor-secondary: LOGIN
    USER_INSTCMD = 4,   // instcmd: INSTCMD
};

// Reads the users from `path`, creating it (mode 0600, comment lines only)
// when missing. A line that is not a user (a missing or unknown role, a
// hash users_hash_refusal refuses) is reported with one line and skipped
// (a refused hash's line says how to make one that is taken), and so is a
// second line for a name. A file whose mode users_mode_ok refuses gives no
// user at all, with one line naming its mode and "chmod 600". Returns the
// number of users taken; -1 when the file can be neither read nor created
// (then nobody may log in).
int users_load(const std::string &path);

// True for a file mode (st_mode) that gives group and others nothing.
bool users_mode_ok(unsigned mode);

// Why `hash` is not taken (a text to follow "line N "), or nullptr when it
// is: a yescrypt ($y$, $gy$), scrypt ($7$), bcrypt ($2b$, $2y$), SHA-512
// ($6$) or SHA-256 ($5$) crypt(3) hash is taken; MD5-crypt ($1$), DES and
// clear text (no leading '$') and every other method are refused.
const char *users_hash_refusal(const std::string &hash);

// The USER_* roles of `name` when `password` matches its hash; -1 for an
// unknown name or a wrong password (the two are not told apart: an unknown
// name is checked against a dummy hash of the kind the file's first user
// has, so it takes as long). When the roles are given and `generation` is
// not null, *generation is the user's stamp for users_current.
int users_check(const std::string &name, const std::string &password,
                uint64_t *generation = nullptr);

// True while `name` is still the user whose check gave `generation`: a
// reload that removed it or changed its hash or roles gives it a new stamp
// (or none), and every session that logged in with the old one is over.
bool users_current(const std::string &name, uint64_t generation);

// How many crypt(3) checks users_check has run, for the tests (a check of
// an unknown name is one too).
long users_crypt_runs();
