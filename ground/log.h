// The daemon's rotating log writer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

/// One word-sized argument of agent_log: an integer of at most 32 bits or a text.
/// A default-constructed argument is 0 (unused).
class log_arg {
  public:
    constexpr log_arg() = default;
    constexpr log_arg(int v) : value_(v) {}
    constexpr log_arg(unsigned v) : value_(v) {}
    constexpr log_arg(long v) : value_(v) {}
    constexpr log_arg(unsigned long v) : value_(static_cast<std::int64_t>(v)) {}
    constexpr log_arg(const char* text) : text_(text), is_text_(true) {}

    /// True when the argument is 0: the integer 0 or a null text.
    constexpr bool is_zero() const { return is_text_ ? text_ == nullptr : value_ == 0; }
    constexpr bool is_text() const { return is_text_; }
    constexpr const char* text() const { return text_; }
    constexpr std::int64_t value() const { return value_; }

  private:
    std::int64_t value_ = 0;
    const char* text_ = nullptr;
    bool is_text_ = false;
};

/// Appends one time-stamped line to the daemon's log. With a, b and c all 0 the format is
/// written unchanged; otherwise it is expanded with a, b and c like sprintf. Never fails
/// visibly: a line that cannot be written is lost. Safe to call from several threads and
/// several processes at once.
void agent_log(const char* format, log_arg a = {}, log_arg b = {}, log_arg c = {});

/// The message of agent_log for a format and arguments of which one is not 0: the format
/// expanded like sprintf, each conversion taking the argument in its position.
std::string format_log_message(const char* format, log_arg a, log_arg b, log_arg c);

/// Copies the whole source file into the destination. A destination whose copy failed is
/// removed.
/// `mode` is the permission mode of a created destination, 0 standing for 0744.
/// Returns 0 on success, 1 on failure.
int copy_file(const char* source, const char* destination, mode_t mode);

/// Stores the current calendar time in whole seconds.
void current_time(time_t* now);

/// The clock that current_time reads: the system's; tests set a fixed one.
extern time_t (*log_clock)();

/// Writes the ctime text of `t` without its newline into `text` (at least 26 bytes).
void time_text(time_t t, char* text);

/// Directory of the live log. Fixed in the daemon; tests point it elsewhere.
extern const char* log_directory;
