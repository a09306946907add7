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
// the second child named fs1. Only "#" and a number from 1 to 1000000 without a leading zero
// at the end of a component count; otherwise the "#" is part of the name. `text` is the
// component as written: a node whose own name ends that way is found by it when there is no
// such namesake, and is printed with its number ("a#2#1") so that the path is unambiguous.
struct kxadmin_path_part {
    std::string name;
    int occurrence;
    std::string text;
};
std::vector<kxadmin_path_part> kxadmin_split_path(const std::string &path);

// The path component that reaches the `occurrence`-th child named `name`.
std::string kxadmin_path_name(const std::string &name, int occurrence);

// Lays out a table: columns padded to their widest cell, two blanks apart, right-aligned where
// `right` says so; trailing blanks are dropped.
std::string kxadmin_format_table(const std::vector<std::vector<std::string>> &rows,
                                 const std::vector<bool> &right);
