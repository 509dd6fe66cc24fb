#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// Opens the configuration file for reading and locks it against another `set`. A waiting
// `set` may get the lock on a file that the first one has since replaced; it then opens
// the new one. -1 when the file cannot be opened.
int open_locked_config() {
    for (;;) {
        const int fd = ::open(ctl_config_path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return -1;
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat locked, current;
        if (::fstat(fd, &locked) == 0 && ::stat(ctl_config_path, &current) == 0 &&
            locked.st_dev == current.st_dev && locked.st_ino == current.st_ino)
            return fd;
        ::close(fd);
    }
}

// The temporary file, new and never through a link left at its name. Called under the lock,
// so a file found there is stale.
FILE* create_temporary() {
    (void)::unlink(ctl_config_tmp_path);
    const int fd =
        ::open(ctl_config_tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    FILE* copy = ::fdopen(fd, "w");
    if (copy == nullptr)
        ::close(fd);
    return copy;
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

    const int locked = open_locked_config();
    if (locked < 0) {
        std::printf("%s file does not exist. \n", ctl_config_path);
        return 1;
    }
    // Closing the configuration file (its descriptor holds the lock) lets the next `set` in,
    // so it stays open until the rename is done.
    FILE* config = ::fdopen(locked, "r");
    if (config == nullptr) {
        ::close(locked);
        std::printf("%s file does not exist. \n", ctl_config_path);
        return 1;
    }
    FILE* copy = create_temporary();
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
    int result = 0;
    if (!finish_copy(copy) || !read_ok) {
        std::printf("Tolvactl Error: Could not write %s.\n", ctl_config_tmp_path);
        std::remove(ctl_config_tmp_path);
        result = 1;
    } else if (std::rename(ctl_config_tmp_path, ctl_config_path) != 0) {
        std::printf("Tolvactl Error: Could not replace %s.\n", ctl_config_path);
        std::remove(ctl_config_tmp_path);
        result = 1;
    }
    std::fclose(config);
    return result;
}
