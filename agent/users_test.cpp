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

} // namespace
