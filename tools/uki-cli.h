// The command line of korvane-uki: parses the arguments, runs the command, and turns
// failures into one "korvane-uki: <what>: <why>" line.
#pragma once

#include <ostream>

namespace korvane {

// Exit status: 0 done, 1 failed, 2 bad command line.
int uki_main(int argc, char **argv, std::ostream &out, std::ostream &err);

} // namespace korvane
