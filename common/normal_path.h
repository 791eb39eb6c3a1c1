// A path's lexically normal form, the form generate writes: what names one file in several
// spellings ("/usr/bin/./su", "/usr//bin/su") to those who compare path texts.
#pragma once

#include <string>
#include <string_view>

// `path` lexically normal: no "." or ".." components, no repeated or trailing slashes.
std::string NormalPath(const std::string& path);

// Whether `path` is already normal: no "." or ".." component, no repeated slashes and no
// trailing one ("/" itself is normal).
bool IsNormalPath(std::string_view path);

// `path` joined to the current folder when it is relative, then made normal; no link is
// resolved, so that it names the file as it was given. `path` itself, normal, when the current
// folder cannot be found.
std::string AbsolutePath(const std::string& path);
