// How a path, or any text taken from a file or a file name, is shown to a person or written to
// a log: every byte that a terminal could take as a command, and every byte that is not part
// of valid UTF-8, written out as an escape, so that a name can neither hide nor rewrite lines.
#pragma once

#include <string>
#include <string_view>

// `text` with control characters (C0, DEL and C1), backslashes and bytes that are not part of a
// valid UTF-8 character written as \xHH, and a line feed as \n. Two different texts give two
// different results, and valid UTF-8 without control characters is kept as it is.
std::string PrintablePath(std::string_view text);
