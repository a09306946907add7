#include "libutil/cfg_store.h"
#include "libutil/fuzz/cfg_written_form.h"
#include "libutil/tests/bounded_child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The field slots cfg_insert and cfg_find take, from a list.
struct slots {
    const char *f[CFG_MAX_FIELDS] = {};
    slots(std::initializer_list<const char *> list) { std::copy(list.begin(), list.end(), f); }
};

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
        cfg_close(&store_, 0, nullptr, 0);
        fs::remove_all(dir_);
    }

    static void write_file(const std::string &path, const std::string &bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    static std::string read_file(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Temporary names a rewrite would take: "~", then "~a" up to "~last".
    void take_temporary_names(char last) {
        write_file(file_ + "~", "t");
        for (char c = 'a'; c <= last; ++c)
            write_file(file_ + "~" + c, std::string(1, c));
    }

    int reopen(uint32_t style, uint32_t mode = 7) {
        return cfg_open(file_.c_str(), mode, style, &store_, msg_, sizeof msg_);
    }
    // Writes `bytes` to the test file and opens it read-write in `style`.
    int open_bytes(const std::string &bytes, uint32_t style) {
        write_file(file_, bytes);
        return reopen(style);
    }
    int insert(int index, const char *key, const std::vector<const char *> &fields,
               const char *comment = nullptr) {
        slots given{};
        std::copy(fields.begin(), fields.end(), given.f);
        return cfg_insert(store_, index, key, fields.empty() ? nullptr : given.f, comment, msg_,
                          sizeof msg_);
    }
    std::vector<cfg_line *> records() const {
        std::vector<cfg_line *> all;
        for (cfg_line *rec = nullptr; cfg_next(store_, &rec) == CFG_OK;)
            all.push_back(rec);
        return all;
    }
    int rewrite() { return cfg_close(&store_, 1, msg_, sizeof msg_); }

    std::string dir_;
    std::string file_;
    cfg_store *store_ = nullptr;
    char msg_[256] = "";
};

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

// Every reading style, line-end runs, quotes, comments and markers: the records read (one
// described per "; "), and what a rewrite writes (empty: not checked). What was read must read
// back the same, and a second rewrite must give the same bytes.
TEST_F(CfgStore, ReadingRulesAndTheirRewrite) {
    const struct {
        std::string bytes;
        uint32_t style;
        std::string records, rewritten;
    } cases[] = {
        {"RecentConn0=alpha\r\nRecentConn1=beta\r\n", 2, "RecentConn0=alpha; RecentConn1=beta",
         "RecentConn0=alpha\r\nRecentConn1=beta\r\n"},
        // Runs of line ends are one line end; leading ones give an empty record, never written.
        {"a=1\r\n\r\n\n\r\rb=2\n", 2, "a=1; b=2", ""},
        {"\r\n\na=1", 2, "-=; a=1", "a=1\r\n"},
        // Key=value keeps blanks, each "=" starts a field, only the first field is written.
        {"key = value=x\n=lonely\n", 2, "key = value|x; -=lonely", "key = value\r\n=lonely\r\n"},
        {"key  a\tb\n key a b\nk=x y\n", 3, "key=a|b; -=key|a|b; k=x|y", ""},
        {"k a b\n", 3, "k=a|b", "k a b\r\n"},
        {" a b\n", 3, "-=a|b", " a b\r\n"}, // fields after a leading blank stay keyless
        {"\x0b.", 3, "-=.", " .\r\n"},
        {"a=b c\n", 0, "-=a|b c", "a=b c\r\n"},
        {"key \"a b\" c\nk2 \x93x y\x94 \"p q\x94\nk3 \"#x\" \"=y\" \"\" z\n", 3,
         "key=a b|c; k2=x y|p q; k3=#x|=y||z", ""},
        {"k=\"a b\nnext=1\n", 2, "k=a b; next=1", ""}, // unclosed quote ends with the line
        {"# hosts we know\r\nk=v\r\n", 2, "-= # hosts we know; k=v", "# hosts we know\r\nk=v\r\n"},
        // An inline comment ends the token and moves above its line, once.
        {"k=v#note\r\n", 2, "k=v #note", "#note\r\nk=v\r\n"},
        {"k a #c\n", 3, "k=a #c", "#c\r\nk a\r\n"},
        // A marker only at the line start; a moved "# @" comment must not become one.
        {"# @host=alpha\r\nk=v # @x\r\n", 2, "@host=alpha [marked]; k=v  # @x",
         "# @host=alpha\r\n=# @x\r\nk=v \r\n"},
        {"=# @x\r\n", 2, "-= # @x", ""},
        {"# @a b\tc\n", 3, "@a b\tc= [marked]", "# @a b\tc\r\n"}};
    for (const auto &c : cases) {
        ASSERT_EQ(open_bytes(c.bytes, c.style), 0) << msg_;
        std::string read;
        for (cfg_line *rec : records())
            read += (read.empty() ? "" : "; ") + describe(rec);
        EXPECT_EQ(read, c.records) << c.bytes;
        const std::vector<std::string> form = cfg_written_form(store_, c.style);
        ASSERT_EQ(rewrite(), 0) << msg_;
        const std::string written = read_file(file_);
        // The same bytes read and written without a file give the same text.
        cfg_store *parsed = nullptr;
        std::string formatted;
        ASSERT_EQ(cfg_parse(c.bytes.data(), c.bytes.size(), c.style, &parsed, msg_, sizeof msg_),
                  0);
        EXPECT_EQ(cfg_format(parsed, &formatted, msg_, sizeof msg_), 0) << c.bytes;
        EXPECT_EQ(formatted, written) << c.bytes;
        cfg_close(&parsed, 0, nullptr, 0);
        EXPECT_TRUE(c.rewritten.empty() || written == c.rewritten) << c.bytes << ": " << written;
        ASSERT_EQ(reopen(c.style), 0) << msg_;
        EXPECT_EQ(cfg_written_form(store_, c.style), form) << "read back of " << c.bytes;
        ASSERT_EQ(rewrite(), 0) << msg_;
        EXPECT_EQ(read_file(file_), written) << "second rewrite of " << c.bytes;
    }
}

// A NUL byte anywhere, a quote as the last byte, 65 fields: the file is not read at all.
TEST_F(CfgStore, UnreadableContentIsRefusedWithItsMessage) {
    const std::string far = std::string(70000, 'x') + "\n";
    std::string fields = "k";
    for (int i = 0; i < 64; ++i)
        fields += " f" + std::to_string(i);
    const char *nul = "Invalid character in file.";
    const struct {
        const char *name;
        std::string bytes;
        uint32_t style;
        int code;
        const char *msg;
    } cases[] = {
        {"NUL first", std::string("\0a=b\n", 5), 2, CFG_BAD_ARGUMENT, nul},
        {"NUL in a comment", std::string("# note \0 more\n", 14), 2, CFG_BAD_ARGUMENT, nul},
        {"NUL alone quoted", std::string("a=\"\0\"\n", 6), 2, CFG_BAD_ARGUMENT, nul},
        {"NUL far in", far + far + std::string("k=v\0\n", 5), 2, CFG_BAD_ARGUMENT, nul},
        {"quote as the last byte", "k=\"", 2, CFG_TOO_LONG, "Line is too long."},
        {"65 fields", fields + " f64\n", 3, CFG_TOO_LONG, "Line 'k' has too many fields."},
    };
    for (const auto &c : cases) {
        msg_[0] = '\0';
        EXPECT_EQ(open_bytes(c.bytes, c.style), c.code) << c.name;
        EXPECT_STREQ(msg_, c.msg) << c.name;
        EXPECT_EQ(store_, nullptr) << c.name;
    }
    ASSERT_EQ(open_bytes(fields + "\n", 3), 0) << msg_;
    EXPECT_EQ(records().at(0)->field_count, 64);
    EXPECT_STREQ(records().at(0)->fields[63], "f63");
}

TEST_F(CfgStore, FieldsAreSizeTextsWhenReadAndWhenInserted) {
    ASSERT_EQ(open_bytes("k 10G 0x1FFF 1,024 abc\n", 3), 0) << msg_;
    cfg_line *rec = records().at(0);
    const int64_t numbers[] = {10737418240LL, 8191, 1024, 0, 0};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(rec->is_number[i], i < 3 ? 1u : 0u) << "field " << i;
        EXPECT_EQ(rec->number[i], numbers[i]) << "field " << i;
    }
    ASSERT_EQ(insert(-1, "k", {"2M", "x"}), 0);
    rec = records().at(1);
    EXPECT_EQ(rec->is_number[0], 1u);
    EXPECT_EQ(rec->number[0], 2 << 20);
    EXPECT_EQ(rec->is_number[1], 0u);
}

TEST_F(CfgStore, LongLinesAreCutWhenReadAndRefusedWhenWritten) {
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

    // Written lines stay below 1023 characters.
    ASSERT_EQ(open_bytes("k=" + std::string(1020, 'v') + "\n", 2), 0) << msg_;
    EXPECT_EQ(rewrite(), 0) << msg_;
    const std::string longer = "k=" + std::string(1021, 'v') + "\n";
    ASSERT_EQ(open_bytes(longer, 2), 0) << msg_;
    EXPECT_EQ(rewrite(), CFG_TOO_LONG);
    EXPECT_EQ(read_file(file_), longer);
    // A quote closed inside a token cannot be written so that it reads back.
    ASSERT_EQ(open_bytes("k a\"b\"c\n", 3), 0) << msg_;
    EXPECT_EQ(rewrite(), CFG_TOO_LONG);
    EXPECT_EQ(std::string(msg_).rfind("VTFS Cfg: Line would not read back", 0), 0u) << msg_;
}

// Whatever sits at the path, the open ends at once with its code: only regular files are read,
// and only up to the size limit.
TEST_F(CfgStore, OpenFailuresReturnTheirCodes) {
    const std::string fifo = dir_ + "/fifo", over = dir_ + "/over";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string lines;
    while (lines.size() < CFG_FILE_MAX)
        lines += "k=v\n";
    lines.resize(CFG_FILE_MAX);
    write_file(dir_ + "/limit", lines);
    write_file(over, lines + "\n");
    write_file(file_, "k=v\n");
    const std::string missing = dir_ + "/missing";
    const struct {
        const char *name;
        std::string path;
        uint32_t mode;
        int code;
        std::string msg; // empty: not checked
    } cases[] = {
        {"missing", missing, 1, CFG_NOT_FOUND, "VTFS Cfg: Error(2) opening '" + missing + "'"},
        {"exclusive create of a file", file_, 15, CFG_EXISTS, ""},
        {"overlong path", dir_ + "/" + std::string(256, 'n'), 7, CFG_BAD_ARGUMENT, ""},
        {"directory", dir_, 1, CFG_NOT_REGULAR, "VTFS Cfg: '" + dir_ + "' is not a regular file"},
        {"fifo read-write", fifo, 7, CFG_NOT_REGULAR, ""},
        {"device", "/dev/zero", 1, CFG_NOT_REGULAR, ""},
        {"over the limit read-only", over, 1, CFG_TOO_LARGE,
         "VTFS Cfg: '" + over + "' is larger than 1048576 bytes"},
        {"at the limit", dir_ + "/limit", 7, CFG_OK, ""},
    };
    for (const auto &c : cases) {
        auto try_open = [&] {
            cfg_store *store = nullptr;
            char msg[256] = "";
            const int rc = cfg_open(c.path.c_str(), c.mode, 2, &store, msg, sizeof msg);
            if (rc != CFG_OK && store != nullptr)
                return 100;
            if (!c.msg.empty() && c.msg != msg)
                return 101;
            cfg_close(&store, 0, nullptr, 0);
            return rc;
        };
        // What may block is opened in a child that is killed if it does.
        const bool may_block = c.path == fifo || c.path == "/dev/zero";
        const int code = may_block ? run_bounded_child(try_open, 5000) : try_open();
        EXPECT_EQ(code, c.code) << c.name << " (100: store kept, 101: other message)";
    }
    EXPECT_EQ(cfg_open(nullptr, 1, 2, &store_, msg_, sizeof msg_), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_open(file_.c_str(), 1, 2, nullptr, msg_, sizeof msg_), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_close(nullptr, 1, msg_, sizeof msg_), CFG_BAD_ARGUMENT);
    // Create mode makes a missing file.
    ASSERT_EQ(cfg_open(missing.c_str(), 7, 2, &store_, msg_, sizeof msg_), 0) << msg_;
    EXPECT_TRUE(fs::exists(missing));
    EXPECT_TRUE(records().empty());
}

TEST_F(CfgStore, FindGetAndNextWalkTheListAndCheckTheirArguments) {
    ASSERT_EQ(open_bytes("# c\na=1\nb=2=3\na=4\n", 2), 0) << msg_;
    cfg_line *rec = nullptr;
    int index = 0;
    EXPECT_EQ(cfg_find(store_, "a", slots{"4"}.f, nullptr, &rec, &index), 0);
    EXPECT_EQ(index, 3);
    // Slot 1 absent: "b" has a second field.
    EXPECT_EQ(cfg_find(store_, nullptr, slots{"2"}.f, nullptr, &rec, &index), CFG_NOT_FOUND);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(cfg_find(store_, nullptr, slots{"2", "3"}.f, nullptr, nullptr, &index), 0);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(cfg_find(store_, nullptr, nullptr, "# c", &rec, nullptr), 0);
    EXPECT_EQ(rec->key, nullptr);
    EXPECT_EQ(cfg_find(store_, "a", nullptr, "# c", &rec, &index), CFG_NOT_FOUND);
    EXPECT_EQ(cfg_find(nullptr, "a", nullptr, nullptr, &rec, &index), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_get(store_, 1, &rec), 0);
    EXPECT_STREQ(rec->key, "a");
    EXPECT_EQ(cfg_get(store_, 4, &rec), CFG_NOT_FOUND);
    EXPECT_EQ(cfg_get(store_, -1, &rec), CFG_BAD_ARGUMENT);
    EXPECT_EQ(cfg_get(nullptr, 0, &rec), CFG_BAD_ARGUMENT);
    rec = nullptr;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(cfg_next(store_, &rec), 0);
    EXPECT_EQ(cfg_next(store_, &rec), CFG_NOT_FOUND);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(cfg_next(nullptr, &rec), CFG_BAD_ARGUMENT);
}

TEST_F(CfgStore, InsertPlacesRecordsAndDeleteUnlinksThem) {
    ASSERT_EQ(open_bytes("a=1\nb=2\n", 2), 0) << msg_;
    ASSERT_EQ(insert(0, "first", {"x"}), 0);
    ASSERT_EQ(insert(-1, "minus", {"x"}), 0);
    ASSERT_EQ(insert(99, "far", {"x"}), 0);
    ASSERT_EQ(insert(2, "mid", {}, "note"), 0);
    auto keys = [&] {
        std::string all, back;
        for (cfg_line *rec : records())
            all += std::string(rec->key) + ",";
        // The backward links must agree with the forward ones.
        for (cfg_line *rec = records().back(); rec != nullptr; rec = rec->prev)
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
    ASSERT_EQ(chmod(file_.c_str(), 0640), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;
    EXPECT_EQ(store_, nullptr);
    EXPECT_EQ(read_file(file_), "a=1\r\nb=2\r\nminus=x\r\n");
    // Nothing is left beside the file, which keeps its permission bits.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    EXPECT_EQ(fs::status(file_).permissions(), fs::perms(0640));
}

TEST_F(CfgStore, InsertRefusesTextsBeyondTheRecordBuffer) {
    ASSERT_EQ(open_bytes("", 2), 0) << msg_;
    const std::string c1024(1024, 'c'), c1000(1000, 'c'), k22(22, 'k'), k23(23, 'k');
    const std::string f21(21, 'f');
    const struct {
        const char *key;
        std::vector<const char *> fields;
        const char *comment, *msg;
    } cases[] = {
        {"k", {}, c1024.c_str(), "VTFS Cfg: Line is too long to insert into config file"},
        {k23.c_str(),
         {},
         c1000.c_str(),
         "VTFS Cfg: : Line is too long to insert into config file (2)"},
        {"k",
         {f21.c_str()},
         c1000.c_str(),
         "VTFS Cfg: Line is too long to insert into config file(3)"},
        {"k", {"a\r\nRecentConn0=evil"}, nullptr, nullptr}, // a line end would make two lines
    };
    for (const auto &c : cases) {
        EXPECT_EQ(insert(-1, c.key, c.fields, c.comment), CFG_TOO_LONG) << c.msg;
        EXPECT_STREQ(c.msg != nullptr ? msg_ : nullptr, c.msg);
    }
    EXPECT_TRUE(records().empty());
    // Comment and key filling the buffer exactly: the fields are left out without error.
    EXPECT_EQ(insert(-1, k22.c_str(), {"a"}, c1000.c_str()), 0);
    EXPECT_EQ(records().at(0)->fields[0], nullptr);
}

TEST_F(CfgStore, TextsThatWouldReadBackDifferentlyAreQuoted) {
    ASSERT_EQ(open_bytes("", 3), 0) << msg_;
    const slots fields{"x y", "", "a=b", "#c", "plain"};
    ASSERT_EQ(cfg_insert(store_, -1, "", fields.f, nullptr, msg_, sizeof msg_), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;
    EXPECT_EQ(read_file(file_), "\"\" \"x y\" \"\" \"a=b\" \"#c\" plain\r\n");
    ASSERT_EQ(reopen(3, 1), 0) << msg_;
    cfg_line *rec = nullptr;
    ASSERT_EQ(cfg_find(store_, "", fields.f, nullptr, &rec, nullptr), 0);
    EXPECT_EQ(rec->comment, nullptr);
    cfg_close(&store_, 0, nullptr, 0);
    // A quote sign inside a text cannot be written so that it reads back.
    for (uint32_t style : {0u, 2u}) {
        ASSERT_EQ(open_bytes("", style), 0) << msg_;
        ASSERT_EQ(insert(-1, style == 0 ? nullptr : "k", {style == 0 ? "a\"b\"c" : "\"v"}), 0);
        EXPECT_EQ(rewrite(), CFG_TOO_LONG) << style;
        EXPECT_EQ(std::string(msg_).rfind("VTFS Cfg: Line would not read back", 0), 0u) << msg_;
    }
}

// The temporary file takes the first free name of "~", "~a" to "~y"; when all are taken, "~z" is
// replaced. A link planted at the name is replaced, never followed.
TEST_F(CfgStore, RewriteTakesAFreeTemporaryNameAndNeverFollowsALink) {
    const std::string victim = dir_ + "/victim";
    const struct {
        const char *name;
        char taken_up_to; // 0: only "~" is taken
        bool link;
    } cases[] = {{"~ taken", 0, false},
                 {"all but ~z taken", 'y', false},
                 {"all taken", 'z', false},
                 {"link at ~", 0, true},
                 {"link at ~z", 'y', true}};
    for (const auto &c : cases) {
        for (const auto &entry : fs::directory_iterator(dir_))
            fs::remove(entry.path());
        write_file(victim, "precious");
        const std::string planted = file_ + (c.taken_up_to == 0 ? "~" : "~z");
        if (c.taken_up_to != 0)
            take_temporary_names(c.taken_up_to);
        if (c.link)
            fs::create_symlink(victim, planted);
        else if (c.taken_up_to == 0)
            write_file(planted, "someone else's");
        ASSERT_EQ(open_bytes("k=new\n", 2), 0) << c.name << ": " << msg_;
        ASSERT_EQ(rewrite(), 0) << c.name << ": " << msg_;
        EXPECT_EQ(read_file(file_), "k=new\r\n") << c.name;
        EXPECT_EQ(read_file(victim), "precious") << c.name;
        if (c.taken_up_to == 0 && !c.link) {
            EXPECT_EQ(read_file(file_ + "~"), "someone else's") << c.name;
            EXPECT_FALSE(fs::exists(file_ + "~a")) << c.name;
        } else if (c.taken_up_to != 0) {
            EXPECT_FALSE(fs::exists(file_ + "~z")) << c.name;
            EXPECT_EQ(read_file(file_ + "~y"), "y") << c.name;
        }
    }
}

// Failures are provoked by what the temporary name points at, so they also happen as root.
TEST_F(CfgStore, FailedRewritesLeaveTheOldFile) {
    const std::string original = "RecentConn0=alpha\r\n";
    take_temporary_names('y');
    fs::create_directory(file_ + "~z");
    ASSERT_EQ(open_bytes(original, 2), 0) << msg_;
    ASSERT_EQ(cfg_delete(store_, 0), 0);
    EXPECT_EQ(rewrite(), CFG_EXISTS);
    EXPECT_EQ(msg_, "VTFS Cfg: Error opening " + file_ + "~z");
    EXPECT_EQ(store_, nullptr);
    EXPECT_EQ(read_file(file_), original);

    for (const auto &entry : fs::directory_iterator(dir_))
        fs::remove_all(entry.path());
    ASSERT_EQ(open_bytes(original, 2), 0) << msg_;
    ASSERT_EQ(insert(-1, "RecentConn1", {"beta"}), 0);
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
    EXPECT_EQ(read_file(file_), original);
}

TEST_F(CfgStore, FailedRenameKeepsTheNewContentInTheTemporaryFile) {
    ASSERT_EQ(open_bytes("k=v\r\n", 2), 0) << msg_;
    // The path turns into a non-empty directory while the store is open.
    ASSERT_EQ(unlink(file_.c_str()), 0);
    fs::create_directory(file_);
    write_file(file_ + "/inside", "x");
    EXPECT_EQ(rewrite(), EISDIR);
    EXPECT_STREQ(msg_, "VTFS Cfg: Error renaming new copy of cfg file (21)");
    EXPECT_EQ(read_file(file_ + "~"), "k=v\r\n");
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
    ASSERT_EQ(reopen(2, 7 | CFG_MODE_LOCK), 0) << msg_;
    ASSERT_EQ(rewrite(), 0) << msg_;
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(dir_))
        left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"cfg.test", "victim"}));
    EXPECT_EQ(read_file(victim), "precious");
    EXPECT_EQ(read_file(file_), "k=v\r\n");
}

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
        cfg_insert(store, -1, "child", slots{"1"}.f, nullptr, nullptr, 0);
        _exit(cfg_close(&store, 1, nullptr, 0) == 0 ? 0 : 3);
    }
    ASSERT_GT(child, 0);
    close(ready[1]);
    pollfd wait_for{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&wait_for, 1, 5000), 1);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    ASSERT_EQ(reopen(2, 7 | CFG_MODE_LOCK), 0) << msg_;
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
    ASSERT_EQ(reopen(2, 7 | CFG_MODE_LOCK), 0) << msg_;
    ASSERT_EQ(insert(-1, "k", {"v"}), 0);
    ASSERT_EQ(rewrite(), 0) << msg_;
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
