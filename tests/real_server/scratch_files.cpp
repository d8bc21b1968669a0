#include "tests/real_server/scratch_files.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <vector>

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }

}  // namespace

std::string makeTemporaryDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/webhaul-real-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) return "";
    return std::string(name.data()) + "/";
}

void removeDirectoryTree(const std::string& directory) {
    if (!directory.empty()) nftw(directory.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

int readWholeFile(const std::string& path, std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    bytes.clear();
    char block[65536];
    size_t count;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, count);
    int ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

int writeWholeFile(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    int ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}
