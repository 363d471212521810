#include "store/textfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "store/paths.h"
#include "store/write_report.h"
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
        int existing_owner; // -1: no file before
        bool through_write_file;
        uid_t want;
    } cases[] = {
        {"new file, write_file", true, -1, true, daemon},
        {"new file, open_append_file", true, -1, false, daemon},
        {"replaced file keeps its owner", true, static_cast<int>(other), true, other},
        {"replaced root file stays root's", true, 0, true, 0},
        {"existing file opened stays as it is", true, 0, false, 0},
        {"root's directory, write_file", false, -1, true, 0},
        {"root's directory, open_append_file", false, -1, false, 0},
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
        }
        if (c.through_write_file) {
            ASSERT_TRUE(write_file(path, "new\n", 4, 0600)) << c.what;
        } else {
            int fd = open_append_file(path, 0600);
            ASSERT_GE(fd, 0) << c.what;
            close(fd);
        }
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << c.what;
        EXPECT_EQ(st.st_uid, c.want) << c.what;
        EXPECT_EQ(st.st_gid, c.want) << c.what;
    }
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

std::string contents_of(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Whatever is laid at a file's name, every way of opening it refuses it
// with the same reason, without blocking, without touching what a link
// points to, and with one line per file however often it is tried.
TEST(OpenRegular, RefusesLinksFifosDevicesAndFolders)
{
    struct Case {
        const char *what;
        int (*make)(const char *path, const char *outside);
        int err;
    };
    const Case cases[] = {
        {"link", [](const char *p, const char *o) { return symlink(o, p); }, ELOOP},
        {"dangling link",
         [](const char *p, const char *o) { return symlink((std::string(o) + ".none").c_str(), p); },
         ELOOP},
        {"FIFO", [](const char *p, const char *) { return mkfifo(p, 0600); }, FILE_NOT_REGULAR},
        {"device", [](const char *p, const char *) { return mknod(p, S_IFCHR | 0600, makedev(1, 3)); },
         FILE_NOT_REGULAR},
        {"folder", [](const char *p, const char *) { return mkdir(p, 0700); }, FILE_NOT_REGULAR},
    };
    TempProgramDir dir;
    write_report_reset();
    std::string outside = dir.path + "outside";
    std::ofstream(outside) << "outside\n";
    chmod(outside.c_str(), 0640);
    for (const Case &c : cases) {
        std::string path = dir.path + "Set/" + c.what;
        ensure_dir(dir.path + "Set/");
        ASSERT_EQ(c.make(path.c_str(), outside.c_str()), 0) << c.what << ": " << strerror(errno);
        struct stat before;
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        testing::internal::CaptureStdout();
        char buf[64];
        EXPECT_EQ(read_file(path, buf, sizeof buf), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
        EXPECT_EQ(read_or_create(path, buf, sizeof buf - 1, "default\n"), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
        EXPECT_TRUE(read_fixed_lines(path, 64, 8, 10).empty()) << c.what;
        EXPECT_FALSE(write_file(path, "new\n", 4, 0644)) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
        EXPECT_FALSE(write_file_in_place(path, "new\n", 4)) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
        EXPECT_EQ(open_append_file(path, 0644), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
        EXPECT_EQ(count_records(path, 4), 0) << c.what;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(count(out, "refusing to read " + path + ": "), 1u) << c.what << "\n" << out;

        struct stat after;
        ASSERT_EQ(lstat(path.c_str(), &after), 0) << c.what;
        EXPECT_EQ(after.st_mode, before.st_mode) << c.what << ": left as it was";
        EXPECT_EQ(contents_of(outside), "outside\n") << c.what;
        struct stat target;
        stat(outside.c_str(), &target);
        EXPECT_EQ(target.st_mode & 07777, 0640u) << c.what;
        EXPECT_NE(access((outside + ".none").c_str(), F_OK), 0) << c.what << ": nothing made";
    }
    char buf[8];
    EXPECT_EQ(read_file("/dev/null", buf, sizeof buf), -1) << "a device by its own name";
    EXPECT_EQ(errno, FILE_NOT_REGULAR);
    write_report_reset();
}

// A file over the reader's limit is refused whole, and read_or_create does
// not put its defaults in its place; one at the limit is read whole.
TEST(ReadFile, OverItsLimitRefusedWhole)
{
    TempProgramDir dir;
    write_report_reset();
    std::string path = dir.path + "rules";
    std::string text = std::string(60, '#') + "\nrule\n"; // 66 bytes
    std::ofstream(path) << text;
    struct {
        int limit;
        int got;
    } const cases[] = {{65, -1}, {66, 66}, {67, 66}, {1, -1}};
    testing::internal::CaptureStdout();
    for (const auto &c : cases) {
        std::vector<char> buf(static_cast<size_t>(c.limit) + 1);
        EXPECT_EQ(read_file(path, buf.data(), c.limit), c.got) << c.limit;
        if (c.got < 0) {
            EXPECT_EQ(errno, EFBIG) << c.limit;
        }
        EXPECT_EQ(read_or_create(path, buf.data(), c.limit, "default\n"), c.got) << c.limit;
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(contents_of(path), text) << "never replaced by the defaults";
    EXPECT_EQ(count(out, "refusing to read " + path + ": it is larger than its limit"), 2u)
        << "one line each time it starts to be refused\n" << out;
    EXPECT_EQ(count(out, path + " is read again"), 1u) << out;
    write_report_reset();
}

// The temporary file's name cannot be known beforehand: a link laid at the
// name it used to have is never written through, and none is left behind.
TEST(WriteFile, TemporaryNameCannotBeLaidInAdvance)
{
    TempProgramDir dir;
    std::string path = dir.path + "metrics.prom";
    std::string outside = dir.path + "outside";
    std::ofstream(outside) << "outside\n";
    chmod(outside.c_str(), 0600);
    ASSERT_EQ(symlink(outside.c_str(), (path + ".new").c_str()), 0);
    ASSERT_TRUE(write_file(path, "one\n", 4, 0644));
    ASSERT_TRUE(write_file(path, "two\n", 4, 0644));
    EXPECT_EQ(contents_of(path), "two\n");
    EXPECT_EQ(contents_of(outside), "outside\n");
    struct stat st;
    stat(outside.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    int entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir.path))
        entries += e.path().filename().string().rfind("metrics.prom.new", 0) == 0;
    EXPECT_EQ(entries, 1) << "only the link laid there";

    write_file_fixed_letters("fixed");
    ASSERT_EQ(symlink(outside.c_str(), (path + ".newfixed").c_str()), 0);
    EXPECT_FALSE(write_file(path, "three\n", 6, 0644)) << "O_EXCL: the link is not opened";
    EXPECT_EQ(errno, EEXIST);
    write_file_fixed_letters(nullptr);
    EXPECT_EQ(contents_of(outside), "outside\n");
    EXPECT_EQ(contents_of(path), "two\n");
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
