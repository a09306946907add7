// kxadmin: the command-line front end of the admin object tree. Every command acts through
// VTATree_Op / VTATree_SetCurrent exactly as the window shell does, so both show the same.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Exit statuses.
enum kxadmin_status { KXADMIN_OK = 0, KXADMIN_FAILED = 1, KXADMIN_USAGE = 2 };

// Runs one command line (argv[0] is the program name); output on `out`, messages on `err`.
int kxadmin_main(int argc, char **argv, FILE *out, FILE *err);

// One path component: the node name and which namesake (1 = the first) it means. "fs1#2" is
// the second child named fs1; a "#" not followed by digits only is part of the name.
struct kxadmin_path_part {
    std::string name;
    int occurrence;
};
std::vector<kxadmin_path_part> kxadmin_split_path(const std::string &path);

// Lays out a table: columns padded to their widest cell, two blanks apart, right-aligned where
// `right` says so; trailing blanks are dropped.
std::string kxadmin_format_table(const std::vector<std::vector<std::string>> &rows,
                                 const std::vector<bool> &right);
