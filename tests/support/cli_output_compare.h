// Comparison of console output with a readable report on mismatch: the
// first differing line of each, and a hex dump of both around the first
// differing byte.
#pragma once

#include <string>

// Empty when equal; otherwise a description of the first difference.
std::string DescribeDifference(const std::string& expected, const std::string& actual);

// Reads a whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* content);
