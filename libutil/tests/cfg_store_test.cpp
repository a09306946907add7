#include "libutil/cfg_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
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

    // A directory opens for reading but cannot be read.
    EXPECT_EQ(cfg_open(dir_.c_str(), 1, 2, &store_, msg_, sizeof msg_), EISDIR);
    EXPECT_STREQ(msg_, "VTFS Cfg: Internal error reading cfg file (21)");
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
    EXPECT_EQ(rewrite(), EISDIR);
    EXPECT_EQ(msg_, "VTFS Cfg: Error opening " + file_ + "~z");
    EXPECT_EQ(store_, nullptr);
    EXPECT_EQ(read_file(file_), original_);
}

TEST_F(CfgStoreRewriteFailure, FailedWriteLeavesTheOldFile) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    take_names_up_to_y();
    fs::create_symlink("/dev/full", file_ + "~z");
    ASSERT_EQ(open_bytes(original_, 2), 0) << msg_;
    ASSERT_EQ(cfg_delete(store_, 0), 0);
    const char *f[CFG_MAX_FIELDS] = {"beta"};
    ASSERT_EQ(cfg_insert(store_, -1, "RecentConn0", f, nullptr, msg_, sizeof msg_), 0);
    EXPECT_EQ(rewrite(), ENOSPC);
    EXPECT_STREQ(msg_, "VTFS Cfg: Error writing to the configuration file (28)");
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
            const char *begin = rec->text, *end = rec->text + sizeof rec->text;
            for (int i = 0; i < CFG_MAX_FIELDS; ++i) {
                if (rec->fields[i] == nullptr) {
                    for (int j = i; j < CFG_MAX_FIELDS; ++j)
                        ASSERT_EQ(rec->fields[j], nullptr);
                    break;
                }
                ASSERT_TRUE(rec->fields[i] >= begin && rec->fields[i] < end);
            }
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

} // namespace
