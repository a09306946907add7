#include "libutil/logging.h"

#include "libutil/fatal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A line split at its stamp; letter 0 when the line has no valid stamp.
struct stamped {
    char letter = 0;
    std::string date, thread, message;
};
stamped parse(const std::string &line) {
    static const std::regex stamp(
        R"(^(?: ([DI]) |\(([WEFC])\))\[(\d{8}) \d{2}:\d{2}:\d{2}\.\d{6} (\d+)\] (.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, stamp))
        return {};
    return {(m[1].matched ? m[1] : m[2]).str()[0], m[3], m[4], m[5]};
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> read_lines(const fs::path &path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct log_state {
    bool open = false;
    int fd = -7;
    std::string path;
    uint64_t max_size = 7;
    int max_files = 7;
};

log_state query() {
    log_state s;
    char path[256] = "unchanged";
    log_query(&s.open, &s.fd, path, sizeof path, &s.max_size, &s.max_files);
    s.path = path;
    return s;
}

class Logging : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kxlogtest.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        log = dir / "test.log";
        saved_info = log_info_writer;
        saved_error = log_error_writer;
        saved_hook = message_hook;
    }
    void TearDown() override {
        reset();
        for (int slot = 0; slot < FACILITY_SLOTS; ++slot)
            facility_release(slot);
        log_info_writer = saved_info;
        log_error_writer = saved_error;
        message_hook = saved_hook;
        fs::remove_all(dir);
    }
    // Closes the log and empties the directory.
    void reset() {
        for (int i = 0; i < 100 && query().open; ++i)
            log_close();
        for (const auto &entry : fs::directory_iterator(dir))
            fs::remove_all(entry.path());
    }
    fs::path chain(int index) const {
        return log.string() + (index == 0 ? "" : "_" + std::to_string(index)) + ".txt";
    }
    static void write_file(const fs::path &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    fs::path dir;
    fs::path log;
    log_writer_fn saved_info;
    log_writer_fn saved_error;
    message_hook_fn saved_hook;
};

// Debug and information lines start " D [" / " I ["; the higher levels "(W)[" to "(C)[". Every
// line carries today's date and the writing thread, and no line end of the writer's own. A
// line of 1024 bytes or more is replaced by the overflow notice.
TEST_F(Logging, EachLineHasItsLevelDateAndThreadAndOverlongLinesAreReplaced) {
    ASSERT_TRUE(log_open(log.c_str(), 0, 3));
    char before[16], after[16];
    time_t now = time(nullptr);
    strftime(before, sizeof before, "%Y%m%d", localtime(&now));
    for (int level = 0; level <= 5; ++level)
        log_write(level, "level %d\n", level);
    log_write(0, "first half, ");
    log_write(0, "second half\n");
    now = time(nullptr);
    strftime(after, sizeof after, "%Y%m%d", localtime(&now));
    const size_t prefix = read_lines(log)[0].size() - std::string("level 0").size();
    const std::string fits(1023 - prefix - 1, 'a'); // with its "\n": exactly 1023 bytes
    log_write(3, "%s\n", fits.c_str());
    log_write(3, "%s\n", std::string(1024 - prefix - 1, 'b').c_str());

    auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), 9u);
    for (int level = 0; level <= 5; ++level) {
        const stamped s = parse(lines[size_t(level)]);
        EXPECT_EQ(s.letter, "DIWEFC"[level]) << lines[size_t(level)];
        EXPECT_TRUE(s.date == before || s.date == after) << s.date;
        EXPECT_EQ(s.thread, std::to_string(gettid()));
        EXPECT_EQ(s.message, "level " + std::to_string(level));
    }
    EXPECT_NE(lines[6].find("first half,  D ["), std::string::npos) << lines[6];
    EXPECT_EQ(parse(lines[7]).message, fits);
    EXPECT_TRUE(std::regex_match(
        lines[8], std::regex(R"(^\(E\) \[\d{8} \d{2}:\d{2}:\d{2}\] log message overflowed$)")))
        << lines[8];
}

// Opens append, create with mode 0644 and nest: only the last close closes the file. A file
// that cannot be created leaves the path set without a descriptor.
TEST_F(Logging, OpensAppendNestAndReportTheirSettings) {
    write_file(log, "earlier\n");
    const mode_t old_mask = umask(022);
    ASSERT_TRUE(log_open(log.c_str(), 4096, 7));
    ASSERT_TRUE(log_open(log.c_str(), 4096, 7));
    log_close();
    log_state s = query();
    EXPECT_TRUE(s.open);
    EXPECT_GE(s.fd, 3);
    EXPECT_EQ(s.path, log.string());
    EXPECT_EQ(s.max_size, 4096u);
    EXPECT_EQ(s.max_files, 7);
    log_write(1, "later\n");
    const fs::path fresh = dir / "fresh.log";
    ASSERT_TRUE(log_open(fresh.c_str(), 0, 1)); // re-targets
    umask(old_mask);
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all, fs::perms(0644));
    log_close();
    log_close();
    s = query();
    EXPECT_FALSE(s.open);
    EXPECT_EQ(s.fd, -1);
    EXPECT_EQ(s.path, "");
    EXPECT_EQ(s.max_size, 0u);
    log_close(); // nothing to undo: the next open counts from zero
    log_write(0, "after close\n");
    auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier");

    EXPECT_FALSE(log_open((dir / "no-such-dir" / "x.log").c_str(), 0, 1));
    EXPECT_TRUE(query().open);
    EXPECT_EQ(query().fd, -1);
    log_write(3, "dropped\n");
    log_close();
    EXPECT_FALSE(query().open);
}

TEST_F(Logging, DashWritesToStandardErrorAndCloseLeavesItOpen) {
    const fs::path captured = dir / "stderr.txt";
    const int saved = dup(2);
    ASSERT_GE(saved, 0);
    const int target = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(target, 0);
    dup2(target, 2);
    close(target);
    const bool opened = log_open("-", 10, 5);
    const log_state s = query();
    for (int i = 0; i < 5; ++i)
        log_write(2, "to stderr %d\n", i);
    log_close();
    const bool fd2_valid = fcntl(2, F_GETFD) != -1;
    dup2(saved, 2);
    close(saved);

    EXPECT_TRUE(opened);
    EXPECT_EQ(s.fd, 2);
    EXPECT_EQ(s.max_size, 0u); // never rotates
    EXPECT_TRUE(fd2_valid);
    auto lines = read_lines(captured);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(parse(lines[4]).message, "to stderr 4");
}

// ---- Rotation ----

std::vector<std::string> split(const std::string &text, const std::string &separator) {
    std::vector<std::string> parts;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(separator, at), text.size());
        parts.push_back(text.substr(at, end - at));
        at = end + separator.size();
    }
    return parts;
}

// "a*100" stands for a text of 100 "a" (and such a text shows that way).
std::string expand(const std::string &text) {
    return text.find('*') == 1 ? std::string(std::stoul(text.substr(2)), text[0]) : text;
}

// Log files in one text, the live one first: "log=" and its lines, then "N=" and the lines of
// each old file (0 for ".txt", N for "_N.txt"), set apart by "; ". A stamped line shows as its
// message, the rotation notice as "R".
TEST_F(Logging, RotationKeepsItsChainOfOldFilesInOrder) {
    const struct {
        const char *name, *before;
        uint64_t max_size;
        int max_files;
        const char *writes, *after;
    } cases[] = {
        {"no limit", "", 0, 2, "a*300,b*300,c*300,d*300", "log=a*300,b*300,c*300,d*300"},
        {"every line over the limit", "", 1, 3, "msg 1,msg 2,msg 3,msg 4,msg 5,msg 6",
         "log=; 0=msg 6,R; 1=msg 5,R; 2=msg 4,R; 3=msg 3,R"},
        {"up to the limit", "", 300, 2, "a*100,b*100", "log=a*100,b*100"},
        {"beyond the limit", "", 300, 2, "a*100,b*100,c*100,after",
         "log=after; 0=a*100,b*100,c*100,R"},
        {"the file held before counts", "log=x*250", 300, 2, "y*60", "log=; 0=x*250,y*60,R"},
        // A chain left by a larger limit keeps its length and loses its last file; a file
        // after a gap is not part of the chain.
        {"a longer chain", "0=gen 0; 1=gen 1; 2=gen 2; 3=gen 3; 8=gen 8", 1, 2, "new",
         "log=; 0=new,R; 1=gen 0; 2=gen 1; 3=gen 2; 8=gen 8"},
        {"the oldest kept after a gap", "2=gen 2", 1, 2, "new", "log=; 0=new,R"},
        {"no old files kept", "", 1, 0, "one,two", "log=; 0=two,R"},
    };
    auto path_of = [&](const std::string &name) {
        return name == "log" ? log : chain(std::stoi(name));
    };
    for (const auto &row : cases) {
        reset();
        for (const std::string &file : split(row.before, "; ")) {
            std::string text;
            for (const std::string &line : split(file.substr(file.find('=') + 1), ","))
                text += expand(line) + "\n";
            write_file(path_of(file.substr(0, file.find('='))), text);
        }
        ASSERT_TRUE(log_open(log.c_str(), row.max_size, row.max_files)) << row.name;
        for (const std::string &text : split(row.writes, ","))
            log_write(1, "%s\n", expand(text).c_str());
        std::string files;
        for (int index = -1; index <= 9; ++index) {
            const std::string name = index < 0 ? "log" : std::to_string(index);
            if (!fs::exists(path_of(name)))
                continue;
            std::string lines;
            for (const std::string &line : read_lines(path_of(name))) {
                std::string shown = parse(line).letter != 0 ? parse(line).message : line;
                shown = line == "Rotating Log File" ? "R" : shown;
                if (shown.size() > 9 && shown.find_first_not_of(shown[0]) == std::string::npos)
                    shown = shown.substr(0, 1) + "*" + std::to_string(shown.size());
                lines += (lines.empty() ? "" : ",") + shown;
            }
            files += (files.empty() ? "" : "; ") + name + "=" + lines;
        }
        EXPECT_EQ(files, row.after) << row.name;
    }
}

TEST_F(Logging, FailedRenameLeavesLogClosedUntilReopened) {
    write_file(chain(0), "gen 0\n");
    fs::create_directories(chain(1) / "blocker"); // a non-empty directory cannot be replaced
    ASSERT_TRUE(log_open(log.c_str(), 1, 1));
    log_write(1, "rotates\n");
    EXPECT_TRUE(query().open);
    EXPECT_EQ(query().fd, -1);
    log_write(1, "lost\n");
    EXPECT_EQ(read_file(log).find("lost"), std::string::npos);

    fs::remove_all(chain(1));
    ASSERT_TRUE(log_open(log.c_str(), 0, 1));
    log_write(1, "back\n");
    auto lines = read_lines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(parse(lines.back()).message, "back");
}

// ---- Facilities ----

TEST_F(Logging, FacilitiesRegisterOnceAndSwitchOnByBitUntilReleased) {
    const facility_flag api_flags[] = {
        {0, "general", "General Information"},
        {1, "entry/exit", "Function entry/exit tracing"},
        {0, nullptr, nullptr},
    };
    const facility_flag empty[] = {{0, nullptr, nullptr}};
    EXPECT_EQ(facility_register(10, "ten", api_flags), 22);
    EXPECT_EQ(facility_register(-1, "neg", api_flags), 22);
    EXPECT_EQ(facility_register(2, "empty", empty), 22);
    EXPECT_EQ(facility_register(2, "none", nullptr), 22);
    ASSERT_EQ(facility_register(3, "vtadmin API", api_flags), 0);
    EXPECT_EQ(facility_register(3, "again", api_flags), 16);
    EXPECT_STREQ(facility_name(3), "vtadmin API");
    EXPECT_EQ(facility_name(10), nullptr);

    EXPECT_FALSE(facility_flag_on(3, 1));
    EXPECT_EQ(facility_enable(3, 1), 0);
    EXPECT_FALSE(facility_flag_on(3, 0));
    EXPECT_TRUE(facility_flag_on(3, 1));
    EXPECT_EQ(facility_enable(3, 8), 22); // two entries: a one-byte mask
    EXPECT_EQ(facility_enable(4, 0), 22); // not registered

    std::vector<facility_flag> nine;
    for (int i = 0; i < 9; ++i)
        nine.push_back({i, "k", "d"});
    nine.push_back({0, nullptr, nullptr});
    ASSERT_EQ(facility_register(5, std::string(100, 'n').c_str(), nine.data()), 0);
    EXPECT_EQ(std::string(facility_name(5)), std::string(63, 'n'));
    EXPECT_EQ(facility_enable(5, 15), 0); // nine entries: a two-byte mask
    EXPECT_EQ(facility_enable(5, 16), 22);

    facility_release(3);
    EXPECT_STREQ(facility_name(3), "_facility_at_exit()_");
    EXPECT_FALSE(facility_flag_on(3, 1));
    EXPECT_EQ(facility_enable(3, 0), 22);
}

// ---- Writers and the message hook ----

// The installed hook maps system-log codes to levels (-1, 5, 6, 8 and 9 dropped); the captured
// system-log hook writes every priority at its level with a line end.
TEST_F(Logging, HooksMapSystemLogCodesToLevels) {
    const syslog_hook_fn saved_syslog = syslog_hook;
    message_hook = nullptr;
    ASSERT_TRUE(log_open(log.c_str(), 0, 1));
    log_info_writer(0, "before install\n");
    EXPECT_EQ(read_file(log), "");

    log_install_writers();
    ASSERT_NE(message_hook, nullptr);
    log_info_writer(0, "info writer\n");
    for (int code = -1; code <= 9; ++code)
        message_report(code, ("code " + std::to_string(code) + "\n").c_str());
    log_capture_system_log();
    for (int code = -1; code <= 8; ++code)
        syslog_hook(code, "priority %d%s", code, code == 3 ? "\n" : "");
    syslog_hook = saved_syslog;
    std::map<std::string, char> expected = {{"info writer", 'D'}, {"code 0", 'I'}, {"code 1", 'D'},
                                            {"code 2", 'W'},      {"code 3", 'E'}, {"code 4", 'F'},
                                            {"code 7", 'C'}};
    for (int code = -1; code <= 8; ++code)
        expected["priority " + std::to_string(code)] = "ECCFEWIIDE"[size_t(code + 1)];
    std::map<std::string, char> letters;
    for (const auto &line : read_lines(log))
        letters[parse(line).message] = parse(line).letter;
    EXPECT_EQ(letters, expected) << read_file(log);

    // A hook already in place is kept.
    message_hook = [](int, const char *) {};
    const message_hook_fn mine = message_hook;
    log_install_writers();
    EXPECT_EQ(message_hook, mine);
}

TEST_F(Logging, ConcurrentLinesAreNeitherInterleavedNorLostAcrossRotations) {
    constexpr int threads = 4;
    constexpr int per_thread = 400;
    ASSERT_TRUE(log_open(log.c_str(), 16 * 1024, 100));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            const std::string filler(60 + t * 10, static_cast<char>('a' + t));
            for (int i = 0; i < per_thread; ++i)
                log_write(t % 2 ? 0 : 3, "thread %d seq %d %s\n", t, i, filler.c_str());
        });
    for (auto &w : workers)
        w.join();

    // Oldest generation first, the live file last.
    std::vector<fs::path> files;
    for (int i = 100; i >= 0; --i)
        if (fs::exists(chain(i)))
            files.push_back(chain(i));
    files.push_back(log);
    ASSERT_GT(files.size(), 2u);
    std::vector<int> next(threads, 0);
    int lines = 0;
    for (const auto &file : files)
        for (const std::string &line : read_lines(file)) {
            if (line == "Rotating Log File")
                continue;
            int t = -1, seq = -1;
            char filler[200] = "";
            ASSERT_EQ(
                sscanf(parse(line).message.c_str(), "thread %d seq %d %199s", &t, &seq, filler), 3)
                << line;
            ASSERT_TRUE(t >= 0 && t < threads);
            EXPECT_EQ(std::string(filler), std::string(60 + t * 10, static_cast<char>('a' + t)));
            EXPECT_EQ(seq, next[t]) << "thread " << t;
            next[t] = seq + 1;
            ++lines;
        }
    EXPECT_EQ(lines, threads * per_thread);
}

} // namespace
