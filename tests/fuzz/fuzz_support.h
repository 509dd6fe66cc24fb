// What the fuzz targets share: a check that stops the run, and a scratch folder.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A broken invariant ends the process, so that the fuzzer keeps the input and a replay
// of it fails.
#define FUZZ_REQUIRE(condition)                                                          \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

namespace fuzz {

/// A folder of this process for the files a target needs, removed when the process ends.
inline const std::string& scratch_folder() {
    // Never destroyed, so that it outlives the removal at exit.
    static const std::string* const folder = [] {
        char pattern[] = "/tmp/tolva-fuzz-XXXXXX";
        FUZZ_REQUIRE(::mkdtemp(pattern) != nullptr);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratch_folder(), ignored);
        });
        return new std::string(pattern);
    }();
    return *folder;
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace fuzz
