#include "ctl/ctl.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ground/decimal.h"

namespace {

constexpr const char* SERVICE_STATUS = "service TolvactlSvc status";
constexpr const char* SERVICE_START = "service TolvactlSvc start";
constexpr const char* SERVICE_STOP = "service TolvactlSvc stop";
constexpr const char* PUSH_ONCE = "/usr/sbin/tolvad -p";
constexpr const char* HOSTINFO_SCRIPT = "/usr/share/zyr/zyr_hostinfo";
constexpr const char* RECEIVE_TOKENS = "/usr/sbin/tolvad -R";

constexpr const char* INCORRECT_VALUE = "Tolvactl Error: Incorrect Interval value.\n";

// Our buffered text must come out before the command's own, on a pipe as on a terminal.
int run_command(const char* command) {
    std::fflush(stdout);
    return std::system(command);
}

int run_set(int argc, char* argv[]) {
    if (argc != 4) {
        print_help();
        return 1;
    }
    const char* key = argv[2];
    if (std::strcmp(key, "PushInterval") != 0 && std::strcmp(key, "RefreshInterval") != 0) {
        print_help();
        return 1;
    }
    auto key_line = std::make_unique<char[]>(KEY_LINE_SIZE);
    std::strcpy(key_line.get(), key);

    const char* value = argv[3];
    // A value beyond int would be clamped by the daemon: refuse it rather than write it.
    bool out_of_range = false;
    if (decimal_int(value, &out_of_range) <= 0 || out_of_range) {
        std::printf("%s", INCORRECT_VALUE);
        return 1;
    }
    // The key line, "=" and the value must fit the buffer with its NUL.
    if (std::strlen(key) + 1 + std::strlen(value) > KEY_LINE_SIZE - 1) {
        std::printf("%s", INCORRECT_VALUE);
        return 1;
    }
    return set_interval(key_line.get(), value);
}

}  // namespace

int exit_status_of(int system_result) {
    if (system_result == -1)
        return 255;
    if (WIFEXITED(system_result))
        return WEXITSTATUS(system_result);
    if (WIFSIGNALED(system_result))
        return 128 + WTERMSIG(system_result);
    return 255;
}

void print_help() {
    std::printf("\n");
    std::printf("Tolvactl - Command Line Utility of QELVO Caldrix for Red Hat Linux.\n");
    std::printf("\n");
    std::printf("SYNTAX: Tolvactl <options> \n");
    std::printf("\n");
    std::printf("<options> are: \n");
    std::printf("\n");
    std::printf("help \t To display the help message. \n");
    std::printf("status \t To display the caldrix status. \n");
    std::printf("start \t To start caldrix service. \n");
    std::printf("stop \t To stop caldrix service. \n");
    std::printf("refresh  To restart caldrix service. \n");
    std::printf("list \t To list tokens and values at that point in time. \n");
    std::printf("push \t To send host information tokens to Vantor at that point in time. \n");
    std::printf("\n");
    std::printf("set <interval> <value> \n");
    std::printf("      <interval> are: \n");
    std::printf("\t 1. RefreshInterval - To set caldrix RefreshInterval to the input value\n");
    std::printf("\t    in seconds. \n");
    std::printf("\t 2. PushInterval - To set caldrix PushInterval to the input value\n");
    std::printf("\t    in seconds. \n");
    std::printf("\n");
}

void show_status() {
    std::printf("Printing the status of QELVO Caldrix daemon: \n");
    run_command(SERVICE_STATUS);
    std::printf("\n");
    std::printf("The current time interval values are: \n");

    FILE* config = std::fopen(ctl_config_path, "r");
    if (config == nullptr) {
        std::printf("%s file does not exist. \n", ctl_config_path);
        return;
    }
    char piece[KEY_LINE_SIZE];
    while (std::fgets(piece, sizeof piece, config) != nullptr) {
        if (std::strstr(piece, "Interval") != nullptr)
            std::printf("Value is %s", piece);
    }
    std::printf("\n");
    std::fclose(config);
}

int start_service() {
    std::printf("Starting the QELVO Caldrix daemon ..\n");
    return run_command(SERVICE_START);
}

int stop_service() {
    std::printf("Stopping the QELVO Caldrix daemon..\n");
    return run_command(SERVICE_STOP);
}

void push_now() {
    std::printf("Sending the token information immediately\n");
    run_command(PUSH_ONCE);
}

void list_tokens() {
    std::printf("Listing the Token information. \n");
    std::printf("------------------------------- \n");
    run_command(HOSTINFO_SCRIPT);
}

int refresh_service() {
    std::printf("Refreshing the QELVO Caldrix daemon..\n");
    run_command(SERVICE_STOP);
    push_now();
    return run_command(SERVICE_START);
}

int receive_tokens() {
    std::printf("Receiving the token information from Vantor.\n");
    run_command(RECEIVE_TOKENS);
    return 0;
}

void run_detached(const char* command) {
    // The child must not write our buffered text a second time.
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) {
        std::printf("fork error");
        return;
    }
    if (child == 0) {
        // No one waits for this child, so its status goes nowhere.
        [[maybe_unused]] const int status = std::system(command);
        _exit(1);
    }
}

int tolvactl_main(int argc, char* argv[]) {
    if (argc < 2) {
        std::printf("No specified parameters, use help. \n");
        return 1;
    }
    const char* word = argv[1];
    const bool is_set = std::strcmp(word, "set") == 0;
    if (argc > 2 && !is_set) {
        print_help();
        return 1;
    }
    if (std::strcmp(word, "help") == 0) {
        print_help();
        return 1;
    }
    if (std::strcmp(word, "status") == 0) {
        show_status();
        return 0;
    }
    if (std::strcmp(word, "start") == 0)
        return exit_status_of(start_service());
    if (std::strcmp(word, "stop") == 0) {
        stop_service();
        return 0;
    }
    if (std::strcmp(word, "refresh") == 0)
        return exit_status_of(refresh_service());
    if (std::strcmp(word, "push") == 0) {
        push_now();
        return 0;
    }
    if (std::strcmp(word, "list") == 0) {
        list_tokens();
        return 0;
    }
    if (is_set)
        return run_set(argc, argv);
    print_help();
    return 1;
}
