#include "libutil/cfg_store.h"
#include "libutil/fuzz/cfg_written_form.h"
#include "libutil/tests/bounded_child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class CfgStore : public testing::Test {
protected:
    void SetUp() override {
        // A memory file system where there is one: every rewrite syncs its file to disk.
        std::string pattern = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        pattern += "/cfg_store_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/cfg.test";
    }
    void TearDown() override {
        if (store_ != nullptr)
            cfg_close(&store_, 0, nullptr, 0);
        fs::remove_all(dir_);
    }

    static void write_file(const std::string &path, const std::string &bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    static std::string read_file(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Writes `bytes` to the test file and opens it read-write in `style`.
    int open_bytes(const std::string &bytes, uint32_t style) {
        write_file(file_, bytes);
        return cfg_open(file_.c_str(), 7, style, &store_, msg_, sizeof msg_);
    }

    std::vector<cfg_line *> records() const {
        std::vector<cfg_line *> all;
        for (cfg_line *rec = nullptr; cfg_next(store_, &rec) == CFG_OK;)
            all.push_back(rec);
        return all;
    }

    static int field_count(const cfg_line *rec) {
        int n = 0;
        while (n < CFG_MAX_FIELDS && rec->fields[n] != nullptr)
            ++n;
        return n;
    }

    int rewrite() { return cfg_close(&store_, 1, msg_, sizeof msg_); }

    std::string dir_;
    std::string file_;
    cfg_store *store_ = nullptr;
    char msg_[256] = "";
};

// ---- reading ---------------------------------------------------------------------------------

// One line per record: key ("-" when absent), "=", the fields joined by "|", then the comment
// and a marker sign when there are any.
std::string describe(const cfg_line *rec) {
    std::string text = rec->key != nullptr ? rec->key : "-";
    text += "=";
    for (int i = 0; i < CFG_MAX_FIELDS && rec->fields[i] != nullptr; ++i)
        text += std::string(i > 0 ? "|" : "") + rec->fields[i];
    if (rec->comment != nullptr)
        text += std::string(" ") + rec->comment;
    if (rec->marked)
        text += " [marked]";
    return text;
}

// Every reading style, line-end runs, quotes, comments and markers; what is read, and what a
// rewrite gives (empty: not checked), which must stay the same on a second rewrite.
TEST_F(CfgStore, ReadingRulesAndTheirRewrite) {
    const struct {
        std::string bytes;
        uint32_t style;
        std::vector<std::string> records;
        std::string rewritten;
    } cases[] = {
        {"RecentConn0=alpha\r\nRecentConn1=beta\r\n",
         2,
         {"RecentConn0=alpha", "RecentConn1=beta"},
         "RecentConn0=alpha\r\nRecentConn1=beta\r\n"},
        // Runs of line ends are one line end; leading ones give an empty record, never written.
        {"a=1\r\n\r\n\n\r\rb=2\n", 2, {"a=1", "b=2"}, ""},
        {"\r\n\na=1", 2, {"-=", "a=1"}, "a=1\r\n"},
        // Key=value keeps blanks, each "=" starts a field, only the first field is written.
        {"key = value=x\n=lonely\n",
         2,
         {"key = value|x", "-=lonely"},
         "key = value\r\n=lonely\r\n"},
        {"key  a\tb\n key a b\nk=x y\n", 3, {"key=a|b", "-=key|a|b", "k=x|y"}, ""},
        {"a=b c\n", 0, {"-=a|b c"}, "a=b c\r\n"},
        {"key \"a b\" c\nk2 \x93x y\x94 \"p q\x94\nk3 \"#x\" \"=y\" \"\" z\n",
         3,
         {"key=a b|c", "k2=x y|p q", "k3=#x|=y||z"},
         ""},
        {"k=\"a b\nnext=1\n", 2, {"k=a b", "next=1"}, ""}, // unclosed quote ends with the line
        {"# hosts we know\r\nk=v\r\n",
         2,
         {"-= # hosts we know", "k=v"},
         "# hosts we know\r\nk=v\r\n"},
        // An inline comment ends the token and moves above its line, once.
        {"k=v#note\r\n", 2, {"k=v #note"}, "#note\r\nk=v\r\n"},
        {"k a #c\n", 3, {"k=a #c"}, "#c\r\nk a\r\n"},
        // A marker only at the line start; a moved "# @" comment must not become one.
        {"# @host=alpha\r\nk=v # @x\r\n",
         2,
         {"@host=alpha [marked]", "k=v  # @x"},
         "# @host=alpha\r\n=# @x\r\nk=v \r\n"},
        {"=# @x\r\n", 2, {"-= # @x"}, ""},
        {"# @a b\tc\n", 3, {"@a b\tc= [marked]"}, "# @a b\tc\r\n"}};
    for (const auto &c : cases) {
        ASSERT_EQ(open_bytes(c.bytes, c.style), 0) << msg_;
        std::vector<std::string> read;
        for (cfg_line *rec : records())
            read.push_back(describe(rec));
        EXPECT_EQ(read, c.records) << c.bytes;
        ASSERT_EQ(rewrite(), 0) << msg_;
        if (c.rewritten.empty())
            continue;
        EXPECT_EQ(read_file(file_), c.rewritten) << c.bytes;
        ASSERT_EQ(cfg_open(file_.c_str(), 7, c.style, &store_, msg_, sizeof msg_), 0) << msg_;
        ASSERT_EQ(rewrite(), 0) << msg_;
        EXPECT_EQ(read_file(file_), c.rewritten) << "second rewrite of " << c.bytes;
    }
}

TEST_F(CfgStore, QuoteAsLastByteIsTooLong) {
    EXPECT_EQ(open_bytes("k=\"", 2), CFG_TOO_LONG);
    EXPECT_STREQ(msg_, "Line is too long.");
    EXPECT_EQ(store_, nullptr);
}

TEST_F(CfgStore, FieldsAreSizeTextsWhenReadAndWhenInserted) {
    ASSERT_EQ(open_bytes("k 10G 0x1FFF 1,024 abc\n", 3), 0) << msg_;
    cfg_line *rec = records().at(0);
    EXPECT_EQ(rec->is_number[0], 1u);
    EXPECT_EQ(rec->number[0], 10737418240LL);
    EXPECT_EQ(rec->number[1], 8191);
    EXPECT_EQ(rec->number[2], 1024);
    EXPECT_EQ(rec->is_number[3], 0u);
    EXPECT_EQ(rec->number[3], 0);
    EXPECT_EQ(rec->is_number[4], 0u);

    const char *inserted[CFG_MAX_FIELDS] = {"2M", "x"};
    ASSERT_EQ(cfg_insert(store_, -1, "k", inserted, nullptr, msg_, sizeof msg_), 0);
    rec = records().at(1);
    EXPECT_EQ(rec->is_number[0], 1u);
    EXPECT_EQ(rec->number[0], 2 << 20);
    EXPECT_EQ(rec->is_number[1], 0u);
}

TEST_F(CfgStore, NulByteAnywhereMakesTheFileUnreadable) {
    std::string far(70000, 'x');
    far += "\n";
    const std::string cases[] = {
        std::string("\0a=b\n", 5),
        std::string("a=b\0", 4),
        std::string("a=b\r\nc=\0d\r\n", 11),
        std::string("# note \0 more\n", 14),
        std::string("a=\"x\0y\"\n", 8),
        std::string("a=\"\0\"\n", 6),
        far + far + std::string("k=v\0\n", 5),
    };
    for (const auto &bytes : cases) {
        msg_[0] = '\0';
        EXPECT_EQ(open_bytes(bytes, 2), CFG_BAD_ARGUMENT) << bytes.size();
        EXPECT_STREQ(msg_, "Invalid character in file.");
        EXPECT_EQ(store_, nullptr);
    }
}

// ---- limits ----------------------------------------------------------------------------------

TEST_F(CfgStore, SixtyFourFieldsAreAcceptedSixtyFiveAreNot) {
    std::string line = "k";
    for (int i = 0; i < 64; ++i)
        line += " f" + std::to_string(i);
    ASSERT_EQ(open_bytes(line + "\n", 3), 0) << msg_;
    cfg_line *rec = records().at(0);
    EXPECT_EQ(field_count(rec), 64);
    EXPECT_STREQ(rec->fields[63], "f63");
    cfg_close(&store_, 0, nullptr, 0);

    EXPECT_EQ(open_bytes(line + " f64\n", 3), CFG_TOO_LONG);
    EXPECT_STREQ(msg_, "Line 'k' has too many fields.");
    EXPECT_EQ(store_, nullptr);
}

TEST_F(CfgStore, LongLineIsCutAtTheReadLimitAndRefusedByTheRewrite) {
    const std::string original = "a=1\r\nk=" + std::string(1500, 'v') + "\r\n";
    ASSERT_EQ(open_bytes(original, 2), 0) << msg_;
    auto all = records();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(strlen(all[1]->fields[0]), 1022u);
    EXPECT_EQ(all[1]->cut_at_limit, 1u);
    EXPECT_EQ(strlen(all[2]->key), 478u);
    EXPECT_EQ(rewrite(), CFG_TOO_LONG);
    EXPECT_EQ(std::string(msg_).rfind("VTFS Cfg: Line is too long 'k=vvv", 0), 0u) << msg_;
    EXPECT_EQ(read_file(file_), original);
}

TEST_F(CfgStore, WrittenLinesMustStayBelow1023Characters) {
    ASSERT_EQ(open_bytes("k=" + std::string(1020, 'v') + "\n", 2), 0) << msg_;
    EXPECT_EQ(rewrite(), 0) << msg_;
    const std::string longer = "k=" + std::string(1021, 'v') + "\n";
    ASSERT_EQ(open_bytes(longer, 2), 0) << msg_;
    EXPECT_EQ(rewrite(), CFG_TOO_LONG);
    EXPECT_EQ(read_file(file_), longer);
}

// ---- opening ---------------------------------------------------------------------------------

TEST_F(CfgStore, OpenFailuresReturnTheirCodes) {
    const std::string missing = dir_ + "/missing";
    EXPECT_EQ(cfg_open(missing.c_str(), 1, 2, &store_, msg_, sizeof msg_), CFG_NOT_FOUND);
    EXPECT_EQ(msg_, "VTFS Cfg: Error(2) opening '" + missing + "'");
    EXPECT_EQ(store_, nullptr);

    const std::string no_dir = dir_ + "/nodir/file";
    EXPECT_EQ(cfg_open(no_dir.c_str(), 7, 2, &store_, msg_, sizeof msg_), CFG_NOT_FOUND);

    write_file(file_, "k=v\n");
    EXPECT_EQ(cfg_open(file_.c_str(), 15, 2, &store_, msg_, sizeof msg_), CFG_EXISTS);

    EXPECT_EQ(cfg_open(nullptr, 1, 2, &store_, msg_, sizeof msg_), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_open(file_.c_str(), 1, 2, nullptr, msg_, sizeof msg_), CFG_BAD_ARGUMENT);
    const std::string overlong = dir_ + "/" + std::string(256, 'n');
    EXPECT_EQ(cfg_open(overlong.c_str(), 7, 2, &store_, nullptr, 0), CFG_BAD_ARGUMENT);

    // A directory is no file to read.
    EXPECT_EQ(cfg_open(dir_.c_str(), 1, 2, &store_, msg_, sizeof msg_), CFG_NOT_REGULAR);
    EXPECT_EQ(msg_, "VTFS Cfg: '" + dir_ + "' is not a regular file");
    EXPECT_EQ(store_, nullptr);
}

TEST_F(CfgStore, CreateModeMakesAMissingFileAndReadOnlyModeDoesNot) {
    ASSERT_EQ(cfg_open(file_.c_str(), 7, 2, &store_, msg_, sizeof msg_), 0) << msg_;
    EXPECT_TRUE(fs::exists(file_));
    EXPECT_TRUE(records().empty());
    ASSERT_EQ(cfg_close(&store_, 0, msg_, sizeof msg_), 0);
    EXPECT_EQ(cfg_close(&store_, 1, msg_, sizeof msg_), 0); // absent store
    EXPECT_EQ(cfg_close(nullptr, 1, msg_, sizeof msg_), CFG_BAD_ARGUMENT);
}

// ---- lookup and editing ------------------------------------------------------------------------

TEST_F(CfgStore, FindMatchesEveryGivenCriterion) {
    ASSERT_EQ(open_bytes("# c\na=1\nb=2=3\na=4\n", 2), 0) << msg_;
    cfg_line *rec = nullptr;
    int index = 0;
    EXPECT_EQ(cfg_find(store_, "a", nullptr, nullptr, &rec, &index), 0);
    EXPECT_EQ(index, 1);
    EXPECT_STREQ(rec->fields[0], "1");

    const char *four[CFG_MAX_FIELDS] = {"4"};
    EXPECT_EQ(cfg_find(store_, "a", four, nullptr, &rec, &index), 0);
    EXPECT_EQ(index, 3);
    const char *two[CFG_MAX_FIELDS] = {"2"}; // slot 1 absent: "b" has a second field
    EXPECT_EQ(cfg_find(store_, nullptr, two, nullptr, &rec, &index), CFG_NOT_FOUND);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(index, -1);
    const char *two_three[CFG_MAX_FIELDS] = {"2", "3"};
    EXPECT_EQ(cfg_find(store_, nullptr, two_three, nullptr, nullptr, &index), 0);
    EXPECT_EQ(index, 2);

    EXPECT_EQ(cfg_find(store_, nullptr, nullptr, "# c", &rec, nullptr), 0);
    EXPECT_EQ(rec->key, nullptr);
    EXPECT_EQ(cfg_find(store_, "a", nullptr, "# c", &rec, &index), CFG_NOT_FOUND);
    EXPECT_EQ(cfg_find(store_, "A", nullptr, nullptr, nullptr, nullptr), CFG_NOT_FOUND);
    EXPECT_EQ(cfg_find(nullptr, "a", nullptr, nullptr, &rec, &index), CFG_BAD_ARGUMENT);
}

TEST_F(CfgStore, GetAndNextWalkTheListAndCheckTheirArguments) {
    ASSERT_EQ(open_bytes("a=1\nb=2\n", 2), 0) << msg_;
    cfg_line *rec = nullptr;
    EXPECT_EQ(cfg_get(store_, 1, &rec), 0);
    EXPECT_STREQ(rec->key, "b");
    EXPECT_EQ(cfg_get(store_, 2, &rec), CFG_NOT_FOUND);
    EXPECT_EQ(cfg_get(store_, -1, &rec), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_get(store_, 0, nullptr), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_get(nullptr, 0, &rec), CFG_BAD_ARGUMENT);

    rec = nullptr;
    EXPECT_EQ(cfg_next(store_, &rec), 0);
    EXPECT_STREQ(rec->key, "a");
    EXPECT_EQ(cfg_next(store_, &rec), 0);
    EXPECT_EQ(cfg_next(store_, &rec), CFG_NOT_FOUND);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(cfg_next(store_, nullptr), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_next(nullptr, &rec), CFG_BAD_ARGUMENT);
}

TEST_F(CfgStore, InsertPlacesRecordsAndDeleteUnlinksThem) {
    ASSERT_EQ(open_bytes("a=1\nb=2\n", 2), 0) << msg_;
    const char *f[CFG_MAX_FIELDS] = {"x"};
    ASSERT_EQ(cfg_insert(store_, 0, "first", f, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(cfg_insert(store_, -1, "minus", f, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(cfg_insert(store_, 99, "far", f, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(cfg_insert(store_, 2, "mid", nullptr, "note", msg_, sizeof msg_), 0);
    auto keys = [&] {
        std::string all;
        for (cfg_line *rec : records())
            all += std::string(rec->key) + ",";
        // The backward links must agree with the forward ones.
        std::string back;
        cfg_line *last = records().back();
        for (cfg_line *rec = last; rec != nullptr; rec = rec->prev)
            back = std::string(rec->key) + "," + back;
        EXPECT_EQ(all, back);
        return all;
    };
    EXPECT_EQ(keys(), "first,a,mid,b,minus,far,");

    EXPECT_EQ(cfg_delete(store_, 2), 0);
    EXPECT_EQ(cfg_delete(store_, 0), 0);
    EXPECT_EQ(cfg_delete(store_, 3), 0);
    EXPECT_EQ(keys(), "a,b,minus,");
    EXPECT_EQ(cfg_delete(store_, 3), CFG_NOT_FOUND);
    EXPECT_EQ(cfg_delete(store_, -1), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_insert(nullptr, 0, "k", nullptr, nullptr, msg_, sizeof msg_), CFG_BAD_ARGUMENT);

    ASSERT_EQ(rewrite(), 0) << msg_;
    EXPECT_EQ(read_file(file_), "a=1\r\nb=2\r\nminus=x\r\n");
}

TEST_F(CfgStore, InsertRefusesTextsBeyondTheRecordBuffer) {
    ASSERT_EQ(open_bytes("", 2), 0) << msg_;
    const std::string c1024(1024, 'c'), c1000(1000, 'c');
    EXPECT_EQ(cfg_insert(store_, -1, "k", nullptr, c1024.c_str(), msg_, sizeof msg_), CFG_TOO_LONG);
    EXPECT_STREQ(msg_, "VTFS Cfg: Line is too long to insert into config file");
    EXPECT_EQ(cfg_insert(store_, -1, std::string(23, 'k').c_str(), nullptr, c1000.c_str(), msg_,
                         sizeof msg_),
              CFG_TOO_LONG);
    EXPECT_STREQ(msg_, "VTFS Cfg: : Line is too long to insert into config file (2)");
    const std::string f21(21, 'f');
    const char *fields[CFG_MAX_FIELDS] = {f21.c_str()};
    EXPECT_EQ(cfg_insert(store_, -1, "k", fields, c1000.c_str(), msg_, sizeof msg_), CFG_TOO_LONG);
    EXPECT_STREQ(msg_, "VTFS Cfg: Line is too long to insert into config file(3)");
    EXPECT_TRUE(records().empty());

    // Comment and key filling the buffer exactly: the fields are left out without error.
    const char *more[CFG_MAX_FIELDS] = {"a"};
    EXPECT_EQ(cfg_insert(store_, -1, std::string(22, 'k').c_str(), more, c1000.c_str(), msg_,
                         sizeof msg_),
              0);
    EXPECT_EQ(records().at(0)->fields[0], nullptr);

    const char *broken[CFG_MAX_FIELDS] = {"a\r\nRecentConn0=evil"};
    EXPECT_EQ(cfg_insert(store_, -1, "k", broken, nullptr, msg_, sizeof msg_), CFG_TOO_LONG);
    EXPECT_EQ(records().size(), 1u);
}

// ---- writing back --------------------------------------------------------------------------

TEST_F(CfgStore, RecentConnectionsSaveReplacesOnlyItsOwnRecords) {
    ASSERT_EQ(open_bytes("Other=keep\r\nRecentConn0=old\r\n", 2), 0) << msg_;
    int index = -1;
    ASSERT_EQ(cfg_find(store_, "RecentConn0", nullptr, nullptr, nullptr, &index), 0);
    ASSERT_EQ(cfg_delete(store_, index), 0);
    const char *alpha[CFG_MAX_FIELDS] = {"alpha"};
    const char *beta[CFG_MAX_FIELDS] = {"beta"};
    ASSERT_EQ(cfg_insert(store_, -1, "RecentConn0", alpha, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(cfg_insert(store_, -1, "RecentConn1", beta, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;
    EXPECT_EQ(store_, nullptr);
    EXPECT_EQ(read_file(file_), "Other=keep\r\nRecentConn0=alpha\r\nRecentConn1=beta\r\n");
    // Nothing is left beside the file.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(CfgStore, TextsThatWouldReadBackDifferentlyAreQuoted) {
    ASSERT_EQ(open_bytes("", 3), 0) << msg_;
    const char *fields[CFG_MAX_FIELDS] = {"x y", "", "a=b", "#c", "plain"};
    ASSERT_EQ(cfg_insert(store_, -1, "", fields, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;
    EXPECT_EQ(read_file(file_), "\"\" \"x y\" \"\" \"a=b\" \"#c\" plain\r\n");
    ASSERT_EQ(cfg_open(file_.c_str(), 1, 3, &store_, msg_, sizeof msg_), 0) << msg_;
    cfg_line *rec = nullptr;
    ASSERT_EQ(cfg_find(store_, "", fields, nullptr, &rec, nullptr), 0);
    EXPECT_EQ(rec->comment, nullptr);
}

TEST_F(CfgStore, RewriteKeepsThePermissionBits) {
    ASSERT_EQ(open_bytes("k=v\n", 2), 0) << msg_;
    ASSERT_EQ(chmod(file_.c_str(), 0640), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;
    struct stat st;
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(CfgStore, TakenTemporaryNameMovesToTheNextLetter) {
    write_file(file_ + "~", "someone else's");
    ASSERT_EQ(open_bytes("k=old\n", 2), 0) << msg_;
    const char *f[CFG_MAX_FIELDS] = {"new"};
    ASSERT_EQ(cfg_delete(store_, 0), 0);
    ASSERT_EQ(cfg_insert(store_, -1, "k", f, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;
    EXPECT_EQ(read_file(file_), "k=new\r\n");
    EXPECT_EQ(read_file(file_ + "~"), "someone else's");
    EXPECT_FALSE(fs::exists(file_ + "~a"));
}

TEST_F(CfgStore, WhenEveryOtherNameIsTakenTheZNameIsReplaced) {
    write_file(file_ + "~", "t");
    for (char c = 'a'; c <= 'z'; ++c)
        write_file(file_ + "~" + c, std::string(1, c));
    ASSERT_EQ(open_bytes("k=v\n", 2), 0) << msg_;
    ASSERT_EQ(rewrite(), 0) << msg_;
    EXPECT_EQ(read_file(file_), "k=v\r\n");
    EXPECT_FALSE(fs::exists(file_ + "~z"));
    EXPECT_EQ(read_file(file_ + "~y"), "y");
}

// Failures are provoked by what the temporary name points at, so they also happen as root.
class CfgStoreRewriteFailure : public CfgStore {
protected:
    void take_names_up_to_y() {
        write_file(file_ + "~", "t");
        for (char c = 'a'; c <= 'y'; ++c)
            write_file(file_ + "~" + c, std::string(1, c));
    }
    const std::string original_ = "RecentConn0=alpha\r\n";
};

TEST_F(CfgStoreRewriteFailure, UnopenableTemporaryFileLeavesTheOldFile) {
    take_names_up_to_y();
    fs::create_directory(file_ + "~z");
    ASSERT_EQ(open_bytes(original_, 2), 0) << msg_;
    ASSERT_EQ(cfg_delete(store_, 0), 0);
    EXPECT_EQ(rewrite(), CFG_EXISTS);
    EXPECT_EQ(msg_, "VTFS Cfg: Error opening " + file_ + "~z");
    EXPECT_EQ(store_, nullptr);
    EXPECT_EQ(read_file(file_), original_);
}

TEST_F(CfgStoreRewriteFailure, FailedWriteLeavesTheOldFile) {
    ASSERT_EQ(open_bytes(original_, 2), 0) << msg_;
    const char *f[CFG_MAX_FIELDS] = {"beta"};
    ASSERT_EQ(cfg_insert(store_, -1, "RecentConn1", f, nullptr, msg_, sizeof msg_), 0);
    // A file size limit below the new content makes the write fail (EFBIG), also as root.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 10;
    auto *previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int code = rewrite();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(code, EFBIG);
    EXPECT_STREQ(msg_, "VTFS Cfg: Error writing to the configuration file (27)");
    EXPECT_EQ(read_file(file_), original_);
}

TEST_F(CfgStoreRewriteFailure, FailedRenameKeepsTheNewContentInTheTemporaryFile) {
    ASSERT_EQ(open_bytes(original_, 2), 0) << msg_;
    // The path turns into a non-empty directory while the store is open.
    ASSERT_EQ(unlink(file_.c_str()), 0);
    fs::create_directory(file_);
    write_file(file_ + "/inside", "x");
    EXPECT_EQ(rewrite(), EISDIR);
    EXPECT_STREQ(msg_, "VTFS Cfg: Error renaming new copy of cfg file (21)");
    EXPECT_EQ(read_file(file_ + "~"), original_);
}

// ---- scale and robustness ------------------------------------------------------------------

TEST_F(CfgStore, TenThousandLinesAreReadFoundAndRewritten) {
    std::string bytes;
    for (int i = 0; i < 10000; ++i)
        bytes += "key" + std::to_string(i) + "=value" + std::to_string(i) + "\r\n";
    ASSERT_EQ(open_bytes(bytes, 2), 0) << msg_;
    cfg_line *rec = nullptr;
    int index = -1;
    ASSERT_EQ(cfg_find(store_, "key9999", nullptr, nullptr, &rec, &index), 0);
    EXPECT_EQ(index, 9999);
    EXPECT_STREQ(rec->fields[0], "value9999");
    ASSERT_EQ(cfg_find(store_, "key5000", nullptr, nullptr, nullptr, &index), 0);
    ASSERT_EQ(cfg_delete(store_, index), 0);
    const char *f[CFG_MAX_FIELDS] = {"front"};
    ASSERT_EQ(cfg_insert(store_, 0, "new", f, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;

    ASSERT_EQ(cfg_open(file_.c_str(), 1, 2, &store_, msg_, sizeof msg_), 0) << msg_;
    auto all = records();
    ASSERT_EQ(all.size(), 10000u);
    EXPECT_STREQ(all.front()->key, "new");
    EXPECT_STREQ(all.back()->fields[0], "value9999");
    EXPECT_EQ(cfg_find(store_, "key5000", nullptr, nullptr, nullptr, nullptr), CFG_NOT_FOUND);
    ASSERT_EQ(cfg_find(store_, "key5001", nullptr, nullptr, nullptr, &index), 0);
    EXPECT_EQ(index, 5001);
}

// Random bytes never crash the store: it opens cleanly or returns one of its codes, every
// record it builds is well formed, and a rewrite that succeeds reads back. Without quote signs
// (which cannot be written inside a quoted text) a second rewrite must give the same bytes:
// nothing is lost or added once a file has been written by the store.
TEST_F(CfgStore, RandomBytesOpenCleanlyOrFailWithAStoreCode) {
    const std::string alphabet = std::string("ab =#@ \t\r\n\"\x93\x94,0x1Gk", 20) + '\0';
    std::mt19937 random(20261206);
    int opened = 0, stable = 0;
    for (int round = 0; round < 2000; ++round) {
        const bool quotes = round % 2 == 0;
        const bool nul_bytes = round % 10 == 9;
        std::string bytes(random() % 1400, ' ');
        for (char &c : bytes) {
            c = alphabet[random() % alphabet.size()];
            if (!quotes && (c == '"' || c == '\x93' || c == '\x94'))
                c = 'q';
            if (!nul_bytes && c == '\0')
                c = 'z';
        }
        const uint32_t style = round % 3 == 0 ? 0 : 2 + round % 2;
        int code = open_bytes(bytes, style);
        ASSERT_TRUE(code == 0 || code == CFG_BAD_ARGUMENT || code == CFG_TOO_LONG) << code;
        if (code != 0) {
            ASSERT_EQ(store_, nullptr);
            continue;
        }
        ++opened;
        for (cfg_line *rec : records()) {
            const char *begin = rec->text, *end = rec->text + CFG_LINE_MAX + 2;
            ASSERT_LE(rec->field_count, CFG_MAX_FIELDS);
            ASSERT_EQ(rec->fields[rec->field_count], nullptr);
            for (int i = 0; i < rec->field_count; ++i)
                ASSERT_TRUE(rec->fields[i] >= begin && rec->fields[i] < end);
            if (rec->key != nullptr) {
                ASSERT_TRUE(rec->key >= begin && rec->key < end);
            }
            if (rec->comment != nullptr) {
                ASSERT_EQ(rec->comment[0], '#');
            }
        }
        code = rewrite();
        ASSERT_TRUE(code == 0 || code == CFG_TOO_LONG) << msg_;
        if (code != 0)
            continue;
        const std::string first = read_file(file_);
        ASSERT_EQ(cfg_open(file_.c_str(), 7, style, &store_, msg_, sizeof msg_), 0) << msg_;
        ASSERT_EQ(rewrite(), 0) << msg_;
        if (!quotes) {
            ASSERT_EQ(read_file(file_), first) << "style " << style;
            ++stable;
        }
    }
    EXPECT_GT(opened, 1000);
    EXPECT_GT(stable, 500);
}

// ---- hostile files -------------------------------------------------------------------------

// Whatever sits at the path, the open ends at once: only regular files are read, and only up
// to the size limit.
TEST_F(CfgStore, OnlyRegularFilesOfLimitedSizeAreRead) {
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string lines;
    while (lines.size() < CFG_FILE_MAX)
        lines += "k=v\n";
    lines.resize(CFG_FILE_MAX);
    write_file(dir_ + "/limit", lines);
    write_file(dir_ + "/over", lines + "\n");
    const struct {
        const char *name;
        std::string path;
        uint32_t mode;
        int code;
    } cases[] = {
        {"fifo read-only", fifo, 1, CFG_NOT_REGULAR},
        {"fifo read-write", fifo, 7, CFG_NOT_REGULAR},
        {"device", "/dev/zero", 1, CFG_NOT_REGULAR},
        {"directory", dir_, 7, CFG_NOT_REGULAR},
        {"one byte over the limit", dir_ + "/over", 7, CFG_TOO_LARGE},
        {"at the limit", dir_ + "/limit", 7, CFG_OK},
    };
    for (const auto &c : cases) {
        const int code = run_bounded_child(
            [&] {
                cfg_store *store = nullptr;
                int rc = cfg_open(c.path.c_str(), c.mode, 2, &store, nullptr, 0);
                cfg_close(&store, 0, nullptr, 0);
                return rc;
            },
            5000);
        EXPECT_EQ(code, c.code) << c.name;
    }
    ASSERT_EQ(cfg_open((dir_ + "/over").c_str(), 1, 2, &store_, msg_, sizeof msg_), CFG_TOO_LARGE);
    EXPECT_EQ(msg_, "VTFS Cfg: '" + dir_ + "/over' is larger than 1048576 bytes");
}

TEST_F(CfgStore, ALinkPlantedAtTheTemporaryNameIsNeverFollowed) {
    const std::string victim = dir_ + "/victim";
    for (bool every_name_taken : {false, true}) {
        write_file(victim, "precious");
        for (const auto &entry : fs::directory_iterator(dir_))
            if (entry.path() != victim)
                fs::remove(entry.path());
        if (every_name_taken) {
            write_file(file_ + "~", "t");
            for (char c = 'a'; c <= 'y'; ++c)
                write_file(file_ + "~" + c, std::string(1, c));
        }
        fs::create_symlink(victim, file_ + (every_name_taken ? "~z" : "~"));
        ASSERT_EQ(open_bytes("k=new\n", 2), 0) << msg_;
        ASSERT_EQ(rewrite(), 0) << msg_;
        EXPECT_EQ(read_file(victim), "precious") << "every name taken: " << every_name_taken;
        EXPECT_EQ(read_file(file_), "k=new\r\n") << "every name taken: " << every_name_taken;
    }
}

// A writer killed during its rewrite leaves its temporary file; under the lock nobody else is
// writing, so the next locked rewrite removes such leftovers (links as links).
TEST_F(CfgStore, ALockedRewriteRemovesTheLeftoversOfKilledWriters) {
    const std::string victim = dir_ + "/victim";
    write_file(victim, "precious");
    write_file(file_ + "~", "half a fi");
    write_file(file_ + "~c", "half");
    fs::create_symlink(victim, file_ + "~b");
    write_file(file_, "k=v\n");
    ASSERT_EQ(cfg_open(file_.c_str(), 7 | CFG_MODE_LOCK, 2, &store_, msg_, sizeof msg_), 0) << msg_;
    ASSERT_EQ(rewrite(), 0) << msg_;
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(dir_))
        left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"cfg.test", "victim"}));
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(read_file(file_), "k=v\r\n");
}

// ---- reading back what was written ---------------------------------------------------------

TEST_F(CfgStore, ARewriteReadsBackAsTheRecordsItWrote) {
    const struct {
        const char *name;
        std::string bytes;
        uint32_t style;
        int code;
        std::string written;
    } cases[] = {
        {"fields after a leading blank", " a b\n", 3, 0, " a b\r\n"},
        {"fields after a leading vertical tab", "\x0b.", 3, 0, " .\r\n"},
        {"key and fields", "k a b\n", 3, 0, "k a b\r\n"},
        {"no key style", "a=b\n", 0, 0, "a=b\r\n"},
        {"keyless key=value", "=v\n", 2, 0, "=v\r\n"},
        {"inline comment", "k v #c\n", 3, 0, "#c\r\nk v\r\n"},
        {"comment that looks marked", "k=v\n", 2, 0, "k=v\r\n"},
        // A quote closed inside a token cannot be written so that it reads back.
        {"quote closed inside a token", "k a\"b\"c\n", 3, CFG_TOO_LONG, ""},
    };
    for (const auto &c : cases) {
        cfg_store *first = nullptr;
        ASSERT_EQ(cfg_parse(c.bytes.data(), c.bytes.size(), c.style, &first, msg_, sizeof msg_), 0)
            << c.name << ": " << msg_;
        std::string text;
        ASSERT_EQ(cfg_format(first, &text, msg_, sizeof msg_), c.code) << c.name << ": " << msg_;
        if (c.code == 0) {
            EXPECT_EQ(text, c.written) << c.name;
            cfg_store *second = nullptr;
            ASSERT_EQ(cfg_parse(text.data(), text.size(), c.style, &second, msg_, sizeof msg_), 0)
                << c.name;
            EXPECT_EQ(cfg_written_form(second, c.style), cfg_written_form(first, c.style))
                << c.name;
            cfg_close(&second, 0, nullptr, 0);
        } else {
            EXPECT_EQ(std::string(msg_).rfind("VTFS Cfg: Line would not read back", 0), 0u) << msg_;
        }
        cfg_close(&first, 0, nullptr, 0);
    }
}

// The smallest input of a fuzzing run that found the leading-blank fault: the first byte picks
// the style (0xF7 % 4 is 3), the rest is the text.
TEST_F(CfgStore, FuzzInputF70B2EReadsBackAfterARewrite) {
    const std::string input = "\xf7\x0b\x2e";
    const uint32_t style = static_cast<unsigned char>(input[0]) % 4;
    ASSERT_EQ(open_bytes(input.substr(1), style), 0) << msg_;
    const std::vector<std::string> before = cfg_written_form(store_, style);
    ASSERT_EQ(rewrite(), 0) << msg_;
    ASSERT_EQ(cfg_open(file_.c_str(), 1, style, &store_, msg_, sizeof msg_), 0) << msg_;
    EXPECT_EQ(cfg_written_form(store_, style), before);
    EXPECT_EQ(before, (std::vector<std::string>{"no key\x1f."}));
}

// ---- locks ---------------------------------------------------------------------------------

// Another program's locked read-modify-write is waited for, and what it wrote is what the
// next locked open reads.
TEST_F(CfgStore, ALockedOpenWaitsForAnotherProgramsReadModifyWrite) {
    write_file(file_, "k=0\n");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        cfg_store *store = nullptr;
        if (cfg_open(file_.c_str(), 7 | CFG_MODE_LOCK, 2, &store, nullptr, 0) != 0)
            _exit(1);
        if (write(ready[1], "x", 1) != 1)
            _exit(2);
        usleep(300000);
        const char *f[CFG_MAX_FIELDS] = {"1"};
        cfg_insert(store, -1, "child", f, nullptr, nullptr, 0);
        _exit(cfg_close(&store, 1, nullptr, 0) == 0 ? 0 : 3);
    }
    ASSERT_GT(child, 0);
    close(ready[1]);
    pollfd wait_for{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&wait_for, 1, 5000), 1);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    ASSERT_EQ(cfg_open(file_.c_str(), 7 | CFG_MODE_LOCK, 2, &store_, msg_, sizeof msg_), 0) << msg_;
    EXPECT_EQ(cfg_find(store_, "child", nullptr, nullptr, nullptr, nullptr), 0);
    cfg_close(&store_, 0, nullptr, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A lock held across a whole session does not block the session's own locked store, follows
// the file that the store's rewrite puts in place, and is free for others once released.
TEST_F(CfgStore, LocksOfOneFileNestWithinAProcessAndFollowTheRewrite) {
    cfg_lock *lock = nullptr;
    ASSERT_EQ(cfg_lock_acquire(file_.c_str(), &lock, msg_, sizeof msg_), 0) << msg_;
    ASSERT_TRUE(fs::exists(file_));
    ASSERT_EQ(cfg_open(file_.c_str(), 7 | CFG_MODE_LOCK, 2, &store_, msg_, sizeof msg_), 0) << msg_;
    const char *f[CFG_MAX_FIELDS] = {"v"};
    ASSERT_EQ(cfg_insert(store_, -1, "k", f, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;
    // The new file is locked: another program cannot take it.
    auto other_locks = [&] {
        return run_bounded_child(
            [&] {
                int fd = open(file_.c_str(), O_RDONLY);
                return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1;
            },
            5000);
    };
    EXPECT_EQ(other_locks(), 1);
    cfg_lock_release(&lock);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(other_locks(), 0);
}

} // namespace
