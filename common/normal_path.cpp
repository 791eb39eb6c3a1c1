#include "common/normal_path.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

std::string NormalPath(const std::string& path) {
    std::string normal = std::filesystem::path(path).lexically_normal().native();
    if (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

bool IsNormalPath(std::string_view path) {
    if (path == "/") {
        return true;
    }
    // Each component, from after each slash (and from the start of a relative path) to the next.
    for (std::size_t at = 0;;) {
        std::size_t end = std::min(path.find('/', at), path.size());
        std::string_view name = path.substr(at, end - at);
        if ((name.empty() && at > 0) || name == "." || name == "..") {
            return false;
        }
        if (end == path.size()) {
            return true;
        }
        at = end + 1;
    }
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/') {
        return NormalPath(path);
    }
    std::error_code error;
    std::filesystem::path current = std::filesystem::current_path(error);
    return NormalPath(error ? path : (current / path).native());
}
