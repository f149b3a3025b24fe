// Internal hooks of the USB driver, for tests only.
#pragma once

// Directory in which kernel driver nodes are looked for and opened
// ("/dev" normally). Tests point it at a directory of their own holding a
// pseudo-terminal named like a node. Null restores "/dev". Not thread-safe
// against opens in progress: set it before any stream is created.
void ksusb_set_node_directory(const char* dir);
