#include "store/textfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

#include "store/paths.h"
#include "tests/tempdir.h"

namespace {

TEST(CopyField, SlicesByOneBasedColumn)
{
    char out[8];
    copy_field("12:34", 4, 2, out, sizeof out);
    EXPECT_STREQ(out, "34");
    EXPECT_EQ(parse_int_field("12:34", 1, 2), 12);
    copy_field("12:34", 1, 0, out, sizeof out);
    EXPECT_STREQ(out, "");
    copy_field("12:34", 4, 10, out, sizeof out);
    EXPECT_STREQ(out, "34") << "stops at the end of the text";
    copy_field("abcdefghijkl", 1, 12, out, sizeof out);
    EXPECT_STREQ(out, "abcdefg") << "cut to the output buffer";
}

TEST(ParseInt, BlanksSignAndGarbage)
{
    EXPECT_EQ(parse_int_text("  -7x"), -7);
    EXPECT_EQ(parse_int_text("010"), 10);
    EXPECT_EQ(parse_int_text("abc"), 0);
    EXPECT_EQ(parse_int_text("99999999999999"), 2147483647);
}

TEST(ReadLine, WalksLinesAndReportsTheEnd)
{
    const char data[] = "a\nbc\n";
    char out[8];
    int pos = read_line(out, sizeof out, data, 0, 5);
    EXPECT_STREQ(out, "a");
    EXPECT_EQ(pos, 2);
    pos = read_line(out, sizeof out, data, pos, 5);
    EXPECT_STREQ(out, "bc");
    EXPECT_EQ(pos, 5);
    EXPECT_EQ(read_line(out, sizeof out, data, pos, 5), 0);

    EXPECT_EQ(read_line(out, sizeof out, "tail", 0, 4), 0);
    EXPECT_STREQ(out, "tail") << "an unterminated last line is still copied";
    EXPECT_EQ(read_line(out, 4, "long line\nx", 0, 11), 10);
    EXPECT_STREQ(out, "lon");
    EXPECT_EQ(read_line(out, sizeof out, "cr\r\n", 0, 4), 4);
    EXPECT_STREQ(out, "cr") << "CR LF ends a line as LF does";
    EXPECT_EQ(read_line(out, sizeof out, "a\rb\r\r\n", 0, 6), 6);
    EXPECT_STREQ(out, "a\rb\r") << "only the CR before the LF goes";
}

TEST(SplitFields, CountsSeparators)
{
    EXPECT_EQ(split_fields("a@x;b@y", ';'), (std::vector<std::string>{"a@x", "b@y"}));
    EXPECT_EQ(split_fields("a;", ';'), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(split_fields("", ';'), (std::vector<std::string>{""}));
    EXPECT_EQ(split_fields("whole", ';'), (std::vector<std::string>{"whole"}));
}

TEST(CountRecords, CreatesMissingFileAndIgnoresPartialRecord)
{
    TempProgramDir dir;
    std::string path = dir.path + "records";
    EXPECT_EQ(count_records(path, 10), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << "a missing file is created";
    std::ofstream(path) << std::string(25, 'x');
    EXPECT_EQ(count_records(path, 10), 2);
}

TEST(EnsureDir, CreatesPrivateDirectoryAndLeavesExistingOnes)
{
    TempProgramDir dir;
    std::string sub = dir.path + "Set/";
    EXPECT_TRUE(ensure_dir(sub));
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    chmod(sub.c_str(), 0755);
    EXPECT_TRUE(ensure_dir(sub));
    stat(sub.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0755u) << "an existing directory is not changed";

    EXPECT_TRUE(ensure_database_dir());
    EXPECT_EQ(database_path("Event.ang"), dir.path + "DataBase/Event.ang");
}

TEST(WriteFile, ReplacesContentsAndKeepsMode)
{
    TempProgramDir dir;
    std::string path = dir.path + "file";
    ASSERT_TRUE(write_file(path, "one\n", 4, 0600));
    chmod(path.c_str(), 0640);
    ASSERT_TRUE(write_file(path, "two\n", 4, 0600));
    char buf[16];
    EXPECT_EQ(read_file(path, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "two\n");
    struct stat st;
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(read_file(dir.path + "missing", buf, sizeof buf), -1);
}

// Files a root process makes or rewrites in a directory another user owns
// (the daemon's own Set/ and DataBase/) end up that user's, whichever way
// they are written; in root's own directory they stay root's.
TEST(WriteFile, RootLeavesFilesToTheDirectorysOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand files to another user";
    const uid_t daemon = 61427, other = 61429;
    struct Case {
        const char *what;
        bool dir_is_daemons;
        int existing_owner; // -1: no file before; -2: a link to another user's file
        bool through_write_file;
        uid_t want;
    } cases[] = {
        {"new file, write_file", true, -1, true, daemon},
        {"new file, open_or_create", true, -1, false, daemon},
        {"replaced file keeps its owner", true, static_cast<int>(other), true, other},
        {"replaced root file stays root's", true, 0, true, 0},
        {"existing file opened stays as it is", true, 0, false, 0},
        {"a link replaced: the directory's owner", true, -2, true, daemon},
        {"root's directory, write_file", false, -1, true, 0},
        {"root's directory, open_or_create", false, -1, false, 0},
    };
    for (const Case &c : cases) {
        TempProgramDir dir;
        if (c.dir_is_daemons) {
            ASSERT_EQ(chown(dir.path.c_str(), daemon, daemon), 0);
        }
        std::string path = dir.path + "Setting.ang";
        if (c.existing_owner >= 0) {
            std::ofstream(path) << "old\n";
            ASSERT_EQ(chown(path.c_str(), c.existing_owner, c.existing_owner), 0);
        } else if (c.existing_owner == -2) {
            std::string target = dir.path + "others";
            std::ofstream(target) << "old\n";
            ASSERT_EQ(chown(target.c_str(), other, other), 0);
            ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        }
        if (c.through_write_file) {
            ASSERT_TRUE(write_file(path, "new\n", 4, 0600)) << c.what;
        } else {
            int fd = open_or_create(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
            ASSERT_GE(fd, 0) << c.what;
            close(fd);
        }
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << c.what;
        EXPECT_EQ(st.st_uid, c.want) << c.what;
        EXPECT_EQ(st.st_gid, c.want) << c.what;
    }
}

// The temporary file is made anew: a link planted in its place is removed,
// its target neither written nor handed to anyone.
TEST(WriteFile, NeverWritesThroughALinkAtItsTemporaryName)
{
    TempProgramDir dir;
    std::string target = dir.path + "target";
    std::ofstream(target) << "keep\n";
    std::string path = dir.path + "file";
    ASSERT_EQ(symlink(target.c_str(), (path + ".new").c_str()), 0);
    ASSERT_TRUE(write_file(path, "new\n", 4, 0600));
    char buf[16];
    ASSERT_EQ(read_file(target, buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "keep\n");
    ASSERT_EQ(read_file(path, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "new\n");
}

TEST(WriteFile, InPlaceOverwritesAndCutsAnExistingFileOnly)
{
    TempProgramDir dir;
    std::string path = dir.path + "file";
    EXPECT_FALSE(write_file_in_place(path, "x\n", 2)) << "no file: nothing is made";
    EXPECT_EQ(errno, ENOENT);
    ASSERT_TRUE(write_file(path, "a longer first text\n", 20, 0600));
    char buf[64];
    for (const char *text : {"short\n", "a text longer than the first one\n", "\n"}) {
        int len = static_cast<int>(strlen(text));
        ASSERT_TRUE(write_file_in_place(path, text, len));
        ASSERT_EQ(read_file(path, buf, sizeof buf), len) << text;
        EXPECT_EQ(std::string(buf, len), text);
    }
}

// Whatever the file held and however the write ends, the file afterwards
// is whole lines: the old ones and, when the write succeeded, the new ones.
TEST(AppendLineWhole, NeverLeavesACutLine)
{
    struct Case {
        const char *before;
        const char *text;
        rlim_t limit; // file-size limit during the append
        int err;
        const char *after;
    };
    const Case cases[] = {
        {"", "one\n", RLIM_INFINITY, 0, "one\n"},
        {"one\n", "two\nthree\n", RLIM_INFINITY, 0, "one\ntwo\nthree\n"},
        {"one", "two\n", RLIM_INFINITY, 0, "one\ntwo\n"},     // a cut last line gets its end
        {"one\n", "two\n", 6, EFBIG, "one\n"},                // cut short: taken back
        {"one", "two\n", 4, EFBIG, "one"},                     // only the added end got in
        {"one\n", "two\n", 4, EFBIG, "one\n"},                // nothing got in
    };
    signal(SIGXFSZ, SIG_IGN);
    TempProgramDir dir;
    std::string path = dir.path + "file";
    for (const Case &c : cases) {
        ASSERT_TRUE(write_file(path, c.before, static_cast<int>(strlen(c.before)), 0600));
        int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        struct rlimit r = {c.limit, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &r);
        int err = append_line_whole(fd, c.text, static_cast<int>(strlen(c.text)));
        r.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &r);
        close(fd);
        EXPECT_EQ(err, c.err) << c.before << "+" << c.text;
        char buf[64];
        int got = read_file(path, buf, sizeof buf);
        EXPECT_EQ(std::string(buf, got > 0 ? got : 0), c.after) << c.before << "+" << c.text;
    }
}

TEST(ProgramDir, DirectoryPartOrTheExecutablesDirectory)
{
    EXPECT_EQ(program_dir_from("/opt/ups/upsagent"), "/opt/ups/");
    EXPECT_EQ(program_dir_from("./upsagent"), "./");
    std::string found = program_dir_from("upsagent");
    EXPECT_EQ(found.front(), '/') << "a bare name uses the running executable's directory";
    EXPECT_EQ(found.back(), '/');
}

} // namespace
