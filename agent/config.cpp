#include "agent/config.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "agent/common.h"
#include "ground/decimal.h"
#include "ground/log.h"

const char* config_path = CONFIG_PATH;

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// 23 characters and the NUL: lines longer than a setting are read in several pieces.
constexpr int PIECE_SIZE = 24;

}  // namespace

int read_config_value(const char* key) {
    std::unique_ptr<std::FILE, file_closer> file(std::fopen(config_path, "r"));
    if (!file) {
        std::printf("%s file does not exist. \n", config_path);
        agent_log("The %s file does not exist.\n", config_path);
        return 1;
    }

    // The counter spans the whole file, so the first piece holding the key decides.
    int tokens = 0;
    int result = 0;
    char piece[PIECE_SIZE];
    while (std::fgets(piece, sizeof piece, file.get()) != nullptr) {
        if (std::strstr(piece, key) == nullptr)
            continue;
        char* rest = nullptr;
        for (char* token = strtok_r(piece, "=", &rest); token != nullptr;
             token = strtok_r(nullptr, "=", &rest)) {
            if (++tokens == 2)
                result = decimal_int(token);
        }
    }
    return result;
}
