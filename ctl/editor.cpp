#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ctl/ctl.h"

const char* ctl_config_path = "/etc/qelvo/caldrix/tolvad.conf";
const char* ctl_config_tmp_path = "/etc/qelvo/caldrix/tolvad.conf.tmp";

namespace {

// Flushes the copy to the disk before it replaces the original, so that a crash right
// after the rename cannot leave an empty configuration behind.
bool finish_copy(FILE* copy) {
    bool ok = std::fflush(copy) == 0 && !std::ferror(copy);
    if (ok && fsync(fileno(copy)) != 0 && errno != EINVAL)
        ok = false;
    if (std::fclose(copy) != 0)
        ok = false;
    return ok;
}

}  // namespace

int set_interval(char* key_line, const char* value) {
    const std::string key = key_line;
    std::printf("Changing the %s value in tolvad.conf file ..\n", key.c_str());

    if (key.size() + 1 + std::strlen(value) > KEY_LINE_SIZE - 1) {
        std::printf("Tolvactl Error: Incorrect Interval value.\n");
        return 1;
    }
    std::strcat(key_line, "=");
    std::strcat(key_line, value);

    FILE* config = std::fopen(ctl_config_path, "r");
    if (config == nullptr) {
        std::printf("%s file does not exist. \n", ctl_config_path);
        return 1;
    }
    FILE* copy = std::fopen(ctl_config_tmp_path, "w");
    if (copy == nullptr) {
        std::printf("Tolvactl Error: Could not create %s.\n", ctl_config_tmp_path);
        std::fclose(config);
        return 1;
    }

    char piece[KEY_LINE_SIZE];
    while (std::fgets(piece, sizeof piece, config) != nullptr) {
        if (std::strstr(piece, key.c_str()) != nullptr) {
            std::fputs(key_line, copy);
            std::fputs("\n", copy);
        } else {
            std::fputs(piece, copy);
        }
    }
    // A copy cut short by a read or write error would drop settings.
    const bool read_ok = !std::ferror(config);
    std::fclose(config);
    if (!finish_copy(copy) || !read_ok) {
        std::printf("Tolvactl Error: Could not write %s.\n", ctl_config_tmp_path);
        std::remove(ctl_config_tmp_path);
        return 1;
    }
    if (std::rename(ctl_config_tmp_path, ctl_config_path) != 0) {
        std::printf("Tolvactl Error: Could not replace %s.\n", ctl_config_path);
        std::remove(ctl_config_tmp_path);
        return 1;
    }
    return 0;
}
