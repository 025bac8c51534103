#pragma once
// Whole-file reads and writes of the files a client names (program code), paths in UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quellar::platform {

// Reads all of a file, letting others read but not write it meanwhile. False with the
// system's reason in error when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

// Writes the bytes into a new file beside path and then puts it in path's place (keeping the
// old file's permissions), so a failure part-way never leaves a truncated file where a good
// one stood. False with the system's reason in error.
bool ReplaceFile(const std::string& path, const uint8_t* data, size_t size, std::string& error);

}  // namespace quellar::platform
