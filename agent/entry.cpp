#include "agent/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/common.h"
#include "agent/daemon_mode.h"
#include "agent/devices.h"
#include "agent/push_once.h"
#include "ground/log.h"
#include "ground/settings.h"

namespace {

constexpr const char* DEFAULT_PATTERN = "/dev/sg*";

// Started with 0, 1 or 2 closed, the first device would take that number, and the console
// text (or daemonize's reopening) would reach the device.
void occupy_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number is this one, as those below it are open.
            const int opened = ::open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd)
                ::close(opened);
        }
    }
}

}  // namespace

void print_usage() {
    std::printf(
        "Usage:\n\ttolvad [-f|-p|-h] [directory_or_pattern]\n\n -f Run in the foreground rather "
        "than daemonizing.\n -p Send the host information immediately.\n -h Display this "
        "help.\n\nIf a directory is specified, that directory will be searched for VanTor\ndevice "
        "files.  A glob pattern may also be specified.\nIf nothing is specified, %s will be "
        "used.\n",
        DEFAULT_PATTERN);
}

int tolvad_main(int argc, char* argv[]) {
    occupy_standard_descriptors();
    setbuffer(stdout, nullptr, 0);
    std::signal(SIGPIPE, SIG_IGN);

    const char* debug = std::getenv("TOLVAD_DEBUG");
    if (debug && std::strcmp(debug, "yes") == 0) {
        debug_level = 1;
        agent_log("Debug Level is turned on");
    }

    bool foreground = false;
    bool push_once = false;
    int option;
    while ((option = ::getopt(argc, argv, "fhpg")) != -1) {
        switch (option) {
            case 'f':
                foreground = true;
                break;
            case 'p':
                push_once = true;
                break;
            case 'h':
                print_usage();
                return 0;
            case 'g':
                if (argc != 3)
                    print_usage();
                if (argc > 2)
                    agent_log(argv[2]);
                return 0;
            default:
                print_usage();
                return 0;
        }
    }

    if (argc - optind >= 2) {
        print_usage();
        return 1;
    }

    device_list.clear();
    agent_log("Finding the QELVO scsi enclosure device.\n");
    const int scanned = build_device_list(SCAN_DIRECTORY, device_list);
    open_listed_devices();
    if (scanned == -1) {
        agent_log("Can not build QELVO enclosure device list.\n");
        return 255;
    }

    if (push_once)
        return run_push_once();
    run_daemon_mode(foreground);
}
