// The interval editor of Tolvactl over any file content, key and value.
//
// Input: one byte choosing the key (even: PushInterval, odd: RefreshInterval), the value up
// to a newline (a NUL ends it early), then the file's content.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ctl/ctl.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string config = fuzz::scratch_folder() + "/tolvad.conf";
    static const std::string copy = fuzz::scratch_folder() + "/tolvad.conf.tmp";
    ctl_config_path = config.c_str();
    ctl_config_tmp_path = copy.c_str();
    if (size == 0)
        return 0;

    const char* key = data[0] % 2 == 0 ? "PushInterval" : "RefreshInterval";
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t newline = input.find('\n');
    std::string value = input.substr(0, newline);
    value.resize(std::strlen(value.c_str()));
    const std::string content = newline == std::string::npos ? "" : input.substr(newline + 1);

    fuzz::write_file(config, content);
    std::remove(copy.c_str());
    char key_line[KEY_LINE_SIZE];
    std::strcpy(key_line, key);
    const int result = set_interval(key_line, value.c_str());

    const std::string after = fuzz::read_file(config);
    FUZZ_REQUIRE(!fuzz::exists(copy));
    // A refused edit leaves the file alone, and so does one for a key the file never names
    // (a text file: pieces are written up to a NUL).
    const bool text = content.find('\0') == std::string::npos;
    if (result != 0 || (text && content.find(key) == std::string::npos))
        FUZZ_REQUIRE(after == content);
    return 0;
}
