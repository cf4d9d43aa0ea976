#include "io/path_names.h"

std::string portablePath(const std::string& path) {
    return path;
}
