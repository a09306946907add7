#include "libutil/logging.h"

#include "libutil/fatal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
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

const std::regex low_level_line(R"(^ ([DI]) \[(\d{8} \d{2}:\d{2}:\d{2})\.(\d{6}) (\d+)\] (.*)$)");
const std::regex
    high_level_line(R"(^\(([WEFC])\)\[(\d{8} \d{2}:\d{2}:\d{2})\.(\d{6}) (\d+)\] (.*)$)");
const std::regex overflow_line(R"(^\(E\) \[\d{8} \d{2}:\d{2}:\d{2}\] log message overflowed$)");

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

// Message part of a stamped line, or "" when the line has no valid prefix.
std::string message_of(const std::string &line) {
    std::smatch m;
    if (std::regex_match(line, m, low_level_line) || std::regex_match(line, m, high_level_line))
        return m[5];
    return "";
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
        bool open = true;
        for (int i = 0; i < 100 && open; ++i) {
            log_close();
            log_query(&open, nullptr, nullptr, 0, nullptr, nullptr);
        }
        for (int slot = 0; slot < FACILITY_SLOTS; ++slot)
            facility_release(slot);
        log_info_writer = saved_info;
        log_error_writer = saved_error;
        message_hook = saved_hook;
        fs::remove_all(dir);
    }
    fs::path chain(int index) const {
        return index == 0 ? fs::path(log.string() + ".txt")
                          : fs::path(log.string() + "_" + std::to_string(index) + ".txt");
    }
    void write_file(const fs::path &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    fs::path dir;
    fs::path log;
    log_writer_fn saved_info;
    log_writer_fn saved_error;
    message_hook_fn saved_hook;
};

// ---- Line format ----

// Debug and information lines start " D [" / " I ["; the higher levels "(W)[" to "(C)[". Every
// line carries today's date and the writing thread.
TEST_F(Logging, EachLevelHasItsLetterPrefixDateAndThread) {
    ASSERT_TRUE(log_open(log.c_str(), 0, 3));
    char before[16];
    time_t now = time(nullptr);
    strftime(before, sizeof before, "%Y%m%d", localtime(&now));
    for (int level = 0; level <= 5; ++level)
        log_write(level, "level %d\n", level);
    now = time(nullptr);
    char after[16];
    strftime(after, sizeof after, "%Y%m%d", localtime(&now));

    auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), 6u);
    for (int level = 0; level <= 5; ++level) {
        const std::string &line = lines[size_t(level)];
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, level < 2 ? low_level_line : high_level_line))
            << line;
        EXPECT_EQ(m[1].str(), std::string(1, "DIWEFC"[level]));
        const std::string date = m[2].str().substr(0, 8);
        EXPECT_TRUE(date == before || date == after) << date;
        EXPECT_EQ(std::stoi(m[4].str()), gettid());
        EXPECT_EQ(m[5].str(), "level " + std::to_string(level));
    }
}

TEST_F(Logging, WriterAddsNoLineEndOfItsOwn) {
    ASSERT_TRUE(log_open(log.c_str(), 0, 3));
    log_write(0, "first half, ");
    log_write(0, "second half\n");
    auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("first half,  D ["), std::string::npos) << lines[0];
}

TEST_F(Logging, LineOf1024BytesOrMoreIsReplacedByOverflowNotice) {
    ASSERT_TRUE(log_open(log.c_str(), 0, 3));
    log_write(3, "m\n");
    size_t prefix = read_lines(log)[0].size() - 1;

    std::string fits(1023 - prefix - 1, 'a'); // plus "\n": exactly 1023 bytes
    std::string too_long(1024 - prefix - 1, 'b');
    log_write(3, "%s\n", fits.c_str());
    log_write(3, "%s\n", too_long.c_str());
    log_write(0, "%s\n", std::string(5000, 'c').c_str());

    auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].size(), 1022u);
    EXPECT_EQ(message_of(lines[1]), fits);
    EXPECT_TRUE(std::regex_match(lines[2], overflow_line)) << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], overflow_line)) << lines[3];
    std::string all = read_file(log);
    EXPECT_EQ(all.find('b'), std::string::npos);
    EXPECT_EQ(all.find('c'), std::string::npos);
}

// ---- Open, close, query ----

TEST_F(Logging, OpenAppendsWithMode0644AndQueryReportsSettings) {
    write_file(log, "earlier\n");
    ASSERT_TRUE(log_open(log.c_str(), 4096, 7));
    log_write(1, "later\n");
    auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier");

    fs::path fresh = dir / "fresh.log";
    mode_t old_mask = umask(022);
    ASSERT_TRUE(log_open(fresh.c_str(), 4096, 7));
    umask(old_mask);
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);

    bool open = false;
    int fd = -1;
    char path[256];
    uint64_t max_size = 0;
    int max_files = 0;
    log_query(&open, &fd, path, sizeof path, &max_size, &max_files);
    EXPECT_TRUE(open);
    EXPECT_GE(fd, 0);
    EXPECT_NE(fd, 2);
    EXPECT_EQ(std::string(path), fresh.string());
    EXPECT_EQ(max_size, 4096u);
    EXPECT_EQ(max_files, 7);
}

TEST_F(Logging, OpensNestAndOnlyTheLastCloseClosesTheFile) {
    ASSERT_TRUE(log_open(log.c_str(), 0, 1));
    ASSERT_TRUE(log_open(log.c_str(), 0, 1));
    log_close();
    bool open = false;
    int fd = -1;
    log_query(&open, &fd, nullptr, 0, nullptr, nullptr);
    EXPECT_TRUE(open);
    EXPECT_GE(fd, 0);
    log_write(0, "still open\n");
    EXPECT_EQ(read_lines(log).size(), 1u);

    log_close();
    char path[64] = "unchanged";
    uint64_t max_size = 1;
    int max_files = 1;
    log_query(&open, &fd, path, sizeof path, &max_size, &max_files);
    EXPECT_FALSE(open);
    EXPECT_EQ(fd, -1);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(max_size, 0u);
    EXPECT_EQ(max_files, 0);
    log_write(0, "after close\n");
    EXPECT_EQ(read_lines(log).size(), 1u);

    log_close(); // no path set: nothing to undo, the next open counts from zero
    ASSERT_TRUE(log_open(log.c_str(), 0, 1));
    log_close();
    log_query(&open, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_FALSE(open);
}

TEST_F(Logging, UncreatableFileLeavesPathSetAndNoDescriptor) {
    fs::path missing = dir / "no-such-dir" / "x.log";
    EXPECT_FALSE(log_open(missing.c_str(), 0, 1));
    bool open = false;
    int fd = 0;
    log_query(&open, &fd, nullptr, 0, nullptr, nullptr);
    EXPECT_TRUE(open);
    EXPECT_EQ(fd, -1);
    log_write(3, "dropped\n");
    log_close();
    log_query(&open, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_FALSE(open);
}

TEST_F(Logging, DashWritesToStandardErrorAndCloseLeavesItOpen) {
    fs::path captured = dir / "stderr.txt";
    int saved = dup(2);
    ASSERT_GE(saved, 0);
    int target = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(target, 0);
    dup2(target, 2);
    close(target);

    bool opened = log_open("-", 10, 5);
    int fd = -1;
    uint64_t max_size = 99;
    log_query(nullptr, &fd, nullptr, 0, &max_size, nullptr);
    for (int i = 0; i < 50; ++i)
        log_write(2, "to stderr %d\n", i);
    log_close();
    bool fd2_valid = fcntl(2, F_GETFD) != -1;

    dup2(saved, 2);
    close(saved);
    EXPECT_TRUE(opened);
    EXPECT_EQ(fd, 2);
    EXPECT_EQ(max_size, 0u); // never rotates
    EXPECT_TRUE(fd2_valid);
    auto lines = read_lines(captured);
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_EQ(message_of(lines[49]), "to stderr 49");
    EXPECT_FALSE(fs::exists("-.txt"));
}

// ---- Rotation ----

TEST_F(Logging, MaxSizeZeroNeverRotates) {
    ASSERT_TRUE(log_open(log.c_str(), 0, 2));
    std::string payload(200, 'p');
    for (int i = 0; i < 2000; ++i)
        log_write(0, "%d %s\n", i, payload.c_str());
    EXPECT_EQ(read_lines(log).size(), 2000u);
    EXPECT_FALSE(fs::exists(chain(0)));
    EXPECT_FALSE(fs::exists(chain(1)));
    EXPECT_EQ(read_file(log).find("Rotating"), std::string::npos);
}

TEST_F(Logging, RotationKeepsMaxFilesNumberedGenerationsInOrder) {
    ASSERT_TRUE(log_open(log.c_str(), 1, 3)); // every line exceeds the limit
    for (int i = 1; i <= 6; ++i)
        log_write(1, "msg %d\n", i);

    EXPECT_TRUE(fs::exists(log));
    EXPECT_EQ(fs::file_size(log), 0u);
    // chain(0) holds the newest old generation, chain(3) the oldest kept one.
    for (int index = 0; index <= 3; ++index) {
        auto lines = read_lines(chain(index));
        ASSERT_EQ(lines.size(), 2u) << chain(index);
        EXPECT_EQ(message_of(lines[0]), "msg " + std::to_string(6 - index));
        EXPECT_EQ(lines[1], "Rotating Log File");
    }
    EXPECT_FALSE(fs::exists(chain(4)));
    int files = 0;
    for (const auto &entry : fs::directory_iterator(dir))
        files += entry.is_regular_file();
    EXPECT_EQ(files, 5); // live + ".txt" + 3 numbered
}

TEST_F(Logging, RotatesOnlyAfterTheLimitIsExceeded) {
    ASSERT_TRUE(log_open(log.c_str(), 300, 2));
    log_write(0, "%s\n", std::string(100, 'a').c_str());
    log_write(0, "%s\n", std::string(100, 'b').c_str());
    EXPECT_FALSE(fs::exists(chain(0)));
    log_write(0, "%s\n", std::string(100, 'c').c_str());
    ASSERT_TRUE(fs::exists(chain(0)));
    EXPECT_EQ(read_lines(chain(0)).size(), 4u);
    log_write(0, "after\n");
    auto live = read_lines(log);
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(message_of(live[0]), "after");
}

TEST_F(Logging, ExistingFileSizeCountsTowardsTheLimit) {
    write_file(log, std::string(250, 'x') + "\n");
    ASSERT_TRUE(log_open(log.c_str(), 300, 2));
    log_write(0, "%s\n", std::string(60, 'y').c_str());
    ASSERT_TRUE(fs::exists(chain(0)));
    EXPECT_EQ(read_lines(chain(0)).size(), 3u);
}

TEST_F(Logging, ChainLeftByALargerLimitKeepsItsLengthAndLosesItsLastFile) {
    write_file(chain(0), "gen 0\n");
    for (int i = 1; i <= 6; ++i)
        write_file(chain(i), "gen " + std::to_string(i) + "\n");
    write_file(chain(8), "gen 8\n"); // after a gap: not part of the chain
    ASSERT_TRUE(log_open(log.c_str(), 1, 2));
    log_write(1, "new\n");

    EXPECT_EQ(message_of(read_lines(chain(0))[0]), "new");
    for (int i = 1; i <= 6; ++i)
        EXPECT_EQ(read_file(chain(i)), "gen " + std::to_string(i - 1) + "\n") << chain(i);
    EXPECT_FALSE(fs::exists(chain(7))) << "gen 6 was the one deleted";
    EXPECT_EQ(read_file(chain(8)), "gen 8\n");
}

TEST_F(Logging, OldestKeptGenerationIsDroppedEvenAcrossAGapInTheChain) {
    write_file(chain(2), "gen 2\n"); // chain(0) and chain(1) are missing
    ASSERT_TRUE(log_open(log.c_str(), 1, 2));
    log_write(1, "new\n");
    EXPECT_FALSE(fs::exists(chain(2)));
    EXPECT_FALSE(fs::exists(chain(1)));
    EXPECT_EQ(message_of(read_lines(chain(0))[0]), "new");
}

TEST_F(Logging, ZeroMaxFilesKeepsOnlyTheLastGeneration) {
    ASSERT_TRUE(log_open(log.c_str(), 1, 0));
    log_write(1, "one\n");
    log_write(1, "two\n");
    EXPECT_EQ(message_of(read_lines(chain(0))[0]), "two");
    EXPECT_EQ(read_file(chain(0)).find("one"), std::string::npos);
    EXPECT_FALSE(fs::exists(chain(1)));
}

TEST_F(Logging, FailedRenameLeavesLogClosedUntilReopened) {
    write_file(chain(0), "gen 0\n");
    fs::create_directories(chain(1) / "blocker"); // a non-empty directory cannot be replaced
    ASSERT_TRUE(log_open(log.c_str(), 1, 1));
    log_write(1, "rotates\n");

    bool open = false;
    int fd = 0;
    log_query(&open, &fd, nullptr, 0, nullptr, nullptr);
    EXPECT_TRUE(open);
    EXPECT_EQ(fd, -1);
    log_write(1, "lost\n");
    EXPECT_EQ(read_file(log).find("lost"), std::string::npos);

    fs::remove_all(chain(1));
    ASSERT_TRUE(log_open(log.c_str(), 0, 1));
    log_write(1, "back\n");
    auto lines = read_lines(log);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(message_of(lines.back()), "back");
}

// ---- Facilities ----

const facility_flag api_flags[] = {
    {0, "general", "General Information"},
    {1, "entry/exit", "Function entry/exit tracing"},
    {0, nullptr, nullptr},
};

TEST_F(Logging, FacilityRegistrationErrors) {
    const facility_flag empty[] = {{0, nullptr, nullptr}};
    EXPECT_EQ(facility_register(10, "ten", api_flags), 22);
    EXPECT_EQ(facility_register(-1, "neg", api_flags), 22);
    EXPECT_EQ(facility_register(2, "empty", empty), 22);
    EXPECT_EQ(facility_register(2, "none", nullptr), 22);
    EXPECT_EQ(facility_register(3, "vtadmin API", api_flags), 0);
    EXPECT_EQ(facility_register(3, "again", api_flags), 16);
    EXPECT_STREQ(facility_name(3), "vtadmin API");
    EXPECT_EQ(facility_name(10), nullptr);
}

TEST_F(Logging, FacilityFlagsStartClearAndAreSetByBit) {
    ASSERT_EQ(facility_register(3, "vtadmin API", api_flags), 0);
    EXPECT_FALSE(facility_flag_on(3, 0));
    EXPECT_FALSE(facility_flag_on(3, 1));
    EXPECT_EQ(facility_enable(3, 1), 0);
    EXPECT_FALSE(facility_flag_on(3, 0));
    EXPECT_TRUE(facility_flag_on(3, 1));
    EXPECT_EQ(facility_enable(3, 8), 22); // two entries: a one-byte mask
    EXPECT_EQ(facility_enable(4, 0), 22); // not registered
    EXPECT_FALSE(facility_flag_on(4, 0));

    std::vector<facility_flag> nine;
    for (int i = 0; i < 9; ++i)
        nine.push_back({i, "k", "d"});
    nine.push_back({0, nullptr, nullptr});
    ASSERT_EQ(facility_register(5, std::string(100, 'n').c_str(), nine.data()), 0);
    EXPECT_EQ(std::string(facility_name(5)), std::string(63, 'n'));
    EXPECT_EQ(facility_enable(5, 15), 0); // nine entries: a two-byte mask
    EXPECT_TRUE(facility_flag_on(5, 15));
    EXPECT_EQ(facility_enable(5, 16), 22);
}

TEST_F(Logging, ReleasedFacilityForgetsItsMaskAndCanBeRegisteredAgain) {
    ASSERT_EQ(facility_register(3, "vtadmin API", api_flags), 0);
    ASSERT_EQ(facility_enable(3, 0), 0);
    facility_release(3);
    EXPECT_STREQ(facility_name(3), "_facility_at_exit()_");
    EXPECT_FALSE(facility_flag_on(3, 0));
    EXPECT_EQ(facility_enable(3, 0), 22);
    ASSERT_EQ(facility_register(3, "vtadmin API", api_flags), 0);
    EXPECT_FALSE(facility_flag_on(3, 0));
}

// ---- Writers and the message hook ----

TEST_F(Logging, InstalledHookMapsSystemLogCodesToLevels) {
    message_hook = nullptr;
    ASSERT_TRUE(log_open(log.c_str(), 0, 1));
    log_info_writer(0, "before install\n");
    EXPECT_EQ(read_file(log), "");

    log_install_writers();
    ASSERT_NE(message_hook, nullptr);
    log_info_writer(0, "info writer\n");
    for (int code = -1; code <= 9; ++code) {
        std::string text = "code " + std::to_string(code) + "\n";
        message_report(code, text.c_str());
    }

    std::map<std::string, char> letter_of;
    for (const auto &line : read_lines(log)) {
        std::smatch m;
        if (std::regex_match(line, m, low_level_line) || std::regex_match(line, m, high_level_line))
            letter_of[m[5]] = m[1].str()[0];
        else
            ADD_FAILURE() << line;
    }
    EXPECT_EQ(letter_of["info writer"], 'D');
    const std::map<std::string, char> expected = {{"code 0", 'I'}, {"code 1", 'D'},
                                                  {"code 2", 'W'}, {"code 3", 'E'},
                                                  {"code 4", 'F'}, {"code 7", 'C'}};
    for (const auto &[text, letter] : expected)
        EXPECT_EQ(letter_of[text], letter) << text;
    EXPECT_EQ(letter_of.size(), expected.size() + 1); // -1, 5, 6, 8 and 9 dropped
}

void recording_hook(int, const char *) {}

TEST_F(Logging, InstallKeepsAHookAlreadyInPlace) {
    message_hook = recording_hook;
    log_install_writers();
    EXPECT_EQ(message_hook, recording_hook);
    EXPECT_EQ(log_error_writer, log_write);
}

// The system-log hook, once captured, writes every priority at its level with a line end.
TEST_F(Logging, CapturedSystemLogLandsInTheLogAtThePrioritysLevel) {
    const syslog_hook_fn saved_syslog = syslog_hook;
    ASSERT_TRUE(log_open(log.c_str(), 0, 1));
    log_install_writers();
    log_capture_system_log();
    for (int code = -1; code <= 8; ++code)
        syslog_hook(code, "priority %d%s", code, code == 3 ? "\n" : "");
    syslog_hook = saved_syslog;

    const std::string expected_letters = "ECCFEWIIDE"; // codes -1 to 8
    const auto lines = read_lines(log);
    ASSERT_EQ(lines.size(), expected_letters.size()) << read_file(log);
    for (size_t i = 0; i < lines.size(); ++i) {
        const int code = static_cast<int>(i) - 1;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, low_level_line) ||
                    std::regex_match(lines[i], m, high_level_line))
            << lines[i];
        EXPECT_EQ(m[1].str()[0], expected_letters[i]) << "priority " << code;
        EXPECT_EQ(m[5].str(), "priority " + std::to_string(code));
    }
}

// ---- Threads ----

TEST_F(Logging, ConcurrentLinesAreNeitherInterleavedNorLostAcrossRotations) {
    constexpr int threads = 4;
    constexpr int per_thread = 400;
    ASSERT_TRUE(log_open(log.c_str(), 16 * 1024, 100));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            std::string filler(60 + t * 10, static_cast<char>('a' + t));
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
    for (const auto &file : files) {
        auto content = read_lines(file);
        for (size_t i = 0; i < content.size(); ++i) {
            if (content[i] == "Rotating Log File") {
                EXPECT_EQ(i + 1, content.size()) << file;
                continue;
            }
            int t = -1, seq = -1;
            char filler[200] = "";
            ASSERT_EQ(
                sscanf(message_of(content[i]).c_str(), "thread %d seq %d %199s", &t, &seq, filler),
                3)
                << content[i];
            ASSERT_TRUE(t >= 0 && t < threads);
            EXPECT_EQ(std::string(filler), std::string(60 + t * 10, static_cast<char>('a' + t)));
            EXPECT_EQ(seq, next[t]) << "thread " << t;
            next[t] = seq + 1;
            ++lines;
        }
    }
    EXPECT_EQ(lines, threads * per_thread);
}

} // namespace
