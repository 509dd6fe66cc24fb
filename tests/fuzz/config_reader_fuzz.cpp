// The daemon's configuration reader over any file content.
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/config.h"
#include "ground/log.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = fuzz::scratch_folder() + "/tolvad.conf";
    static const std::string no_log = fuzz::scratch_folder() + "/no-log";
    log_directory = no_log.c_str();
    config_path = path.c_str();

    const std::string content(reinterpret_cast<const char*>(data), size);
    fuzz::write_file(path, content);
    read_config_value("PushInterval");
    read_config_value("RefreshInterval");
    // The reader never writes the file.
    FUZZ_REQUIRE(fuzz::read_file(path) == content);
    return 0;
}
