// Test scaffolding for the admin API library: a private install root for the whole test
// program (the agent port is read once per process), and reading back the library's log.
#pragma once

#include <string>
#include <vector>

// The program's install root: made on first use under /tmp with config/ and debug/, KXFSROOT
// pointing at it; removed at exit.
const std::string &test_root();
std::string test_config_dir();

// Writes `text` to the file `name` of the configuration directory (empty text removes it).
void write_config_file(const std::string &name, const std::string &text);

// The lines of the file at `path` (empty when missing).
std::vector<std::string> read_lines(const std::string &path);

// The message part of a log line: what follows the "] " that ends the stamp.
std::string log_message(const std::string &line);

// The library's default log, "<root>/debug/<name>.log".
std::string log_path(const std::string &name);
