// Install paths: the install root and the directories derived from it, resolved once per
// process from the environment (KXFSROOT, KXFSCONF, KXFSLOGS) and built-in defaults.
#pragma once

enum install_path_index {
    INSTALL_ROOT = 0,
    INSTALL_CONFIG_DIR = 1,
    INSTALL_LOG_ROOT = 2,
    INSTALL_DATA_DIR = 3,
    INSTALL_DEBUG_DIR = 4,
    INSTALL_RAS_DIR = 5,
    INSTALL_QUSTATS_DIR = 6,
    INSTALL_PROGRAMS_DIR = 7,
    INSTALL_HELP_DIR = 8,
    INSTALL_LIBRARY_DIR = 9,
    INSTALL_OEM_DIR = 10,
    INSTALL_INSTALL_DIR = 11,
    INSTALL_PATH_COUNT = 12
};

const char *install_path(install_path_index index);
const char *config_dir();
const char *debug_dir();
const char *help_dir();
const char *oem_dir();

// Forgets the resolved table so the next getter resolves it again from the environment.
// For tests only: the program itself resolves once per process.
void install_paths_reset_for_tests();
