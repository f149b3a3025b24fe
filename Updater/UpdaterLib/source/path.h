// Path joining for the updater library.
#pragma once

#include <string>

// Joins path components with the directory separator: first, then "/" and
// each further argument, up to a terminating null pointer. With no further
// argument it returns first unchanged. No separator is added at either end
// and doubled separators are kept as they are. A null first counts as "".
//
//   BuildPath("/home/u", ".quillmar", "updater", nullptr) == "/home/u/.quillmar/updater"
std::string BuildPath(const char* first, ...);
