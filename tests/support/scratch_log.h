// A temporary folder that the daemon's log writer writes into while the object lives.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ground/log.h"

namespace rig {

class scratch_log {
  public:
    scratch_log() : saved_(log_directory) {
        char pattern[] = "/tmp/tolva-test-XXXXXX";
        if (::mkdtemp(pattern) != nullptr)
            path_ = pattern;
        log_directory = path_.c_str();
    }
    ~scratch_log() {
        log_directory = saved_;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_log(const scratch_log&) = delete;
    scratch_log& operator=(const scratch_log&) = delete;

    bool ok() const { return !path_.empty(); }
    /// The folder; tests may keep other files in it too.
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    /// The live log's text, empty when there is none.
    std::string text() const {
        std::ifstream in(file("tolvad.log"));
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

  private:
    const char* saved_;
    std::string path_;
};

}  // namespace rig
