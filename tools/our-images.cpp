#include "our-images.h"

#include "tool-error.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

namespace korvane {

namespace {

std::string program_directory(const std::string &verb) {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self);
    if (n < 0)
        throw ToolError(verb, "cannot find this program's directory (" + errno_text(errno) + "); give --stub");
    if (static_cast<std::size_t>(n) >= sizeof self)
        throw ToolError(verb, "this program's path is too long; give --stub");
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

} // namespace

std::string find_our_image(const std::string &name, const std::string &verb) {
    std::string directory = program_directory(verb);
    for (const std::string &path : {directory + name, directory + "../lib/korvane/" + name})
        if (::access(path.c_str(), F_OK) == 0)
            return path;
    throw ToolError(verb,
                    name + " is neither beside this program nor in " + directory + "../lib/korvane/; give --stub");
}

} // namespace korvane
