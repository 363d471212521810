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
    chmod(path.c_str(), 0644);
    testing::internal::CaptureStdout();
    EXPECT_EQ(users_load(path), 3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6) << out; // five lines and the mode
    for (const char *line : {"line 5 ", "line 6 ", "line 7 ", "line 8 ", "line 9 ", "chmod 600"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in " << out;
    struct Case {
        const char *name, *password;
        int roles;
    } cases[] = {
        {"admin", "secret1", USER_PRIMARY | USER_INSTCMD},
        {"admin", "secret2", -1},
        {"admin", "", -1},
        {"watch", "watch2", USER_SECONDARY},
        {"watch", "secret1", -1}, // the refused second line changed nothing
        {"old", "old3", USER_INSTCMD | USER_SECONDARY},
        {"clear", "secret1", -1},
        {"des", "", -1},
        {"nobody", "watch2", -1},
        {"Admin", "secret1", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(users_check(c.name, c.password), c.roles) << c.name << "/" << c.password;
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
