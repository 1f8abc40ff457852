#include "uki-cli.h"

#include <iostream>

int main(int argc, char **argv) {
    return korvane::uki_main(argc, argv, std::cout, std::cerr);
}
