#include "agent/push_once.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/chunking.h"
#include "agent/collect.h"
#include "agent/common.h"
#include "agent/devices.h"
#include "channel/transfer.h"
#include "ground/limits.h"
#include "ground/log.h"
#include "ground/settings.h"

int run_push_once() {
    if (device_list.empty()) {
        static const char message[] = "Could not find any QELVO enclosure device.\n";
        agent_log(message);
        std::fputs(message, stdout);
        return 1;
    }

    char* view = determine_hostinfo(hostinfo_script);
    if (view == nullptr) {
        if (debug_level)
            agent_log("Error in collecting the host information.");
        return 1;
    }

    const std::size_t length = std::strlen(view) + 1;
    if (length > static_cast<std::size_t>(MAX_TRANSFER)) {
        send_hostinfo_chunked_once(view);
    } else {
        for (std::size_t i = 0; i < device_list.size(); ++i) {
            const enclosure_device& device = device_list[i];
            agent_log("Pushing the current host view to the Vantor[s].\n");
            const int result = send_hostinfo(device.fd, view, static_cast<int>(length));
            // A status other than GOOD: the array did not take the view either.
            if (result == -1 || result > 0) {
                agent_log("Failed to send the host information to the VanTor %s .\n",
                          device.serial.c_str());
            } else if (result == -2) {
                agent_log("Invalid file descriptor for VanTor %s.\n", device.serial.c_str());
            }
        }
    }

    std::free(view);
    return 0;
}
