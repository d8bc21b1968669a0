// Temporary directories and whole-file reads and writes for the tests
// against real servers.
#pragma once

#include <string>

// Creates a new directory under the system's temporary directory. Returns
// its path with a trailing "/", or "" on failure.
std::string makeTemporaryDirectory();

// Removes a directory with everything in it.
void removeDirectoryTree(const std::string& directory);

// Reads a whole file. Returns 1 with its bytes, 0 when it cannot be read.
int readWholeFile(const std::string& path, std::string& bytes);

// Writes bytes to a new or emptied file. Returns 1 on success, 0 otherwise.
int writeWholeFile(const std::string& path, const std::string& bytes);
