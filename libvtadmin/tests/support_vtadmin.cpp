#include "support_vtadmin.h"

#include "libutil/install_paths.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

struct root_holder {
    std::string path;
    root_holder() {
        char pattern[] = "/tmp/vtadmin-test-XXXXXX";
        path = mkdtemp(pattern);
        std::filesystem::create_directories(path + "/config");
        std::filesystem::create_directories(path + "/debug");
        setenv("KXFSROOT", path.c_str(), 1);
        unsetenv("KXFSCONF");
        unsetenv("KXFSLOGS");
        install_paths_reset_for_tests();
    }
    ~root_holder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

} // namespace

const std::string &test_root() {
    static root_holder holder;
    return holder.path;
}

std::string test_config_dir() {
    return test_root() + "/config";
}

void write_config_file(const std::string &name, const std::string &text) {
    const std::string path = test_config_dir() + "/" + name;
    if (text.empty()) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return;
    }
    std::ofstream(path) << text;
}

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string log_message(const std::string &line) {
    const size_t end = line.find("] ");
    return end == std::string::npos ? line : line.substr(end + 2);
}

std::string log_path(const std::string &name) {
    return test_root() + "/debug/" + name + ".log";
}
