#include "common/normal_path.h"

#include <filesystem>

std::string NormalPath(const std::string& path) {
    std::string normal = std::filesystem::path(path).lexically_normal().native();
    if (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}
