#include "kxadmin/kxadmin_cli.h"

#include <cstdio>

int main(int argc, char **argv) {
    return kxadmin_main(argc, argv, stdout, stderr);
}
