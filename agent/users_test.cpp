#include "agent/users.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "store/paths.h"
#include "tests/tempdir.h"

namespace {

// Made with "openssl passwd -6 -salt saltsalt secret1" and the like.
const char *const ADMIN_HASH =
    "$6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZQcvMVQO1BTCOFF0LzoHFZBt9"
    "E45NW0";
const char *const WATCH_HASH = "$5$pepper$dIK6Qu/CFCKUyCqLTTGJMzc1rZcHXCZbZiwqySs4i73";
const char *const OLD_HASH = "$1$abc$ZM.BNzEGEDtrKPwj2qT4E1";

TEST(Users, MissingFileIsCreatedPrivateAndLetsNobodyIn)
{
    TempProgramDir dir;
    std::string path = dir.path + USERS_FILE;
    EXPECT_EQ(users_load(path), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(users_check("", ""), -1);
}

// Every kind of line once, then who gets in with which password.
TEST(Users, LinesRolesAndPasswords)
{
    TempProgramDir dir;
    std::string path = dir.path + USERS_FILE;
    ensure_dir(dir.path + "Set/");
    std::ofstream(path) << "# comment\n"
                        << "admin " << ADMIN_HASH << " monitor-primary,instcmd\r\n"
                        << "  watch " << WATCH_HASH << " monitor-secondary\n"
                        << "old " << OLD_HASH << " instcmd monitor-secondary\n"
                        << "clear secret1 instcmd\n"           // line 5: a clear password
                        << "des abJnggxhB/yWI instcmd\n"        // line 6: the old DES form
                        << "nobody " << WATCH_HASH << "\n"      // line 7: no role
                        << "typo " << WATCH_HASH << " master\n" // line 8: unknown role
                        << "watch " << ADMIN_HASH << " instcmd\n" // line 9: a second watch
                        << "\n";
    chmod(path.c_str(), 0600);
    testing::internal::CaptureStdout();
    EXPECT_EQ(users_load(path), 2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6) << out; // one per refused line
    for (const char *line : {"line 4 ", "line 5 ", "line 6 ", "line 7 ", "line 8 ", "line 9 "})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in " << out;
    // The lines of weak hashes say how to make a strong one.
    EXPECT_NE(out.find("line 4 has an MD5-crypt hash ($1$), which is refused: make a SHA-512 "
                       "hash with \"openssl passwd -6\""),
              std::string::npos) << out;
    EXPECT_NE(out.find("line 6 has no crypt(3) hash but a DES one"), std::string::npos) << out;
    EXPECT_NE(out.find("mkpasswd -m yescrypt"), std::string::npos) << out;
    struct Case {
        const char *name, *password;
        int roles;
    } cases[] = {
        {"admin", "secret1", USER_PRIMARY | USER_INSTCMD},
        {"admin", "secret2", -1},
        {"admin", "", -1},
        {"watch", "watch2", USER_SECONDARY},
        {"watch", "secret1", -1}, // the refused second line changed nothing
        {"old", "old3", -1}, // the right password, but an MD5-crypt hash
        {"clear", "secret1", -1},
        {"des", "", -1},
        {"nobody", "watch2", -1},
        {"Admin", "secret1", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(users_check(c.name, c.password), c.roles) << c.name << "/" << c.password;
}

// Which hash methods are taken: the strong ones of crypt(3) only.
TEST(Users, HashMethods)
{
    struct {
        const char *hash;
        bool taken;
    } table[] = {
        {ADMIN_HASH, true},                                       // SHA-512
        {WATCH_HASH, true},                                       // SHA-256
        {"$6$rounds=10000$salt$abcdefghijklmnopqrstuvwxyz", true},
        {"$y$j9T$salt$abcdefghijklmnopqrstuvwxyz0123456789ABCDE", true}, // yescrypt
        {"$gy$j9T$salt$abcdefghijklmnopqrstuvwxyz0123456789AB", true},
        {"$7$CU..../....salt$abcdefghijklmnopqrstuvwxyz", true}, // scrypt
        {"$2b$10$abcdefghijklmnopqrstuuABCDEFGHIJKLMNOPQRSTUVWXYZ01234", true},
        {"$2y$10$abcdefghijklmnopqrstuuABCDEFGHIJKLMNOPQRSTUVWXYZ01234", true},
        {OLD_HASH, false},                                        // MD5-crypt
        {"abJnggxhB/yWI", false},                                 // DES
        {"_J9..salt4Wb0tOQwXbs", false},                          // BSDi extended DES
        {"$2x$10$abcdefghijklmnopqrstuuABCDEFGHIJKLMNOPQRSTUVWXYZ01234", false},
        {"$3$$8846f7eaee8fb117ad06bdd830b7586c", false},          // NT hash
        {"$md5$salt$abcdefghijklmnopqrstuv", false},              // SunMD5
        {"$sha1$19703$salt$abcdefghijklmnopqrstuvwxyz", false},
        {"$6$", false},
        {"secret1", false},
        {"", false},
    };
    for (const auto &row : table)
        EXPECT_EQ(users_hash_refusal(row.hash) == nullptr, row.taken) << row.hash;
}

// A file open to group or others, for reading or writing, lets nobody in
// (as ssh refuses such a key file), with one line saying how to mend it.
TEST(Users, FileOpenToOthersGivesNoUser)
{
    TempProgramDir dir;
    std::string path = dir.path + USERS_FILE;
    ensure_dir(dir.path + "Set/");
    std::ofstream(path) << "admin " << ADMIN_HASH << " instcmd\n";
    struct {
        mode_t mode;
        bool taken;
    } table[] = {{0600, true}, {0400, true}, {0700, true}, {0640, false}, {0620, false},
                 {0610, false}, {0604, false}, {0602, false}, {0644, false}, {0666, false}};
    for (const auto &row : table) {
        ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(users_load(path), row.taken ? 1 : 0) << std::oct << row.mode;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(users_check("admin", "secret1"), row.taken ? USER_INSTCMD : -1)
            << std::oct << row.mode;
        if (row.taken) {
            EXPECT_EQ(out, "") << std::oct << row.mode;
        } else {
            char mode[8];
            snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(row.mode));
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
            EXPECT_NE(out.find(std::string("has mode ") + mode), std::string::npos) << out;
            EXPECT_NE(out.find("chmod 600 " + path), std::string::npos) << out;
        }
    }
}

// A reload keeps the stamp of a user it leaves as it was and gives a new one
// (or none) to a user whose hash or roles changed or who is gone; an unknown
// name costs a crypt like a known one.
TEST(Users, ReloadsEndTheStampsOfChangedUsers)
{
    TempProgramDir dir;
    std::string path = dir.path + USERS_FILE;
    ensure_dir(dir.path + "Set/");
    auto write = [&](const std::string &text) {
        std::ofstream(path) << text;
        chmod(path.c_str(), 0600);
        ASSERT_GE(users_load(path), 0);
    };
    std::string admin = std::string("admin ") + ADMIN_HASH;
    std::string watch = std::string("watch ") + WATCH_HASH;
    struct Row {
        std::string file;   // the file after the reload
        bool admin, watch;  // the stamps taken at first still hold
    } rows[] = {
        {admin + " instcmd\n" + watch + " monitor-secondary\n", true, true},
        {"# a comment\n" + watch + " monitor-secondary\n" + admin + " instcmd\n", true, true},
        {admin + " instcmd,monitor-primary\n" + watch + " monitor-secondary\n", false, true},
        {watch + " monitor-secondary\n", false, true},
        {std::string("watch ") + ADMIN_HASH + " monitor-secondary\n", false, false},
        {admin + " instcmd\n" + watch + " monitor-secondary\n", false, false}, // back: still new
    };
    write(rows[0].file);
    uint64_t admin_stamp = 0, watch_stamp = 0;
    ASSERT_EQ(users_check("admin", "secret1", &admin_stamp), USER_INSTCMD);
    ASSERT_EQ(users_check("watch", "watch2", &watch_stamp), USER_SECONDARY);
    EXPECT_NE(admin_stamp, watch_stamp);
    for (const Row &r : rows) {
        write(r.file);
        EXPECT_EQ(users_current("admin", admin_stamp), r.admin) << r.file;
        EXPECT_EQ(users_current("watch", watch_stamp), r.watch) << r.file;
    }
    EXPECT_FALSE(users_current("nobody", admin_stamp));
    long before = users_crypt_runs();
    EXPECT_EQ(users_check("nobody", "secret1"), -1);
    EXPECT_EQ(users_check("admin", "wrong"), -1);
    EXPECT_EQ(users_crypt_runs(), before + 2) << "an unknown name is checked against the dummy";
}

} // namespace
