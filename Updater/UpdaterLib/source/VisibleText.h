// Text from outside (the update server's replies) shown on the terminal: a
// control character in it could move the cursor, recolour or retitle the
// terminal, or hide what the user is meant to read.
#pragma once

#include <string>

// text with every byte outside printable ASCII (0x20 to 0x7E) written as
// "\xNN", and the backslash as "\\", so nothing reaches the terminal raw and
// the escaped form cannot be mistaken for the real thing.
std::string VisibleText(const std::string& text);
