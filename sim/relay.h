// A relay: one TCP connection of the simulated array to a loopback server, served by a thread
// of its own so that no command waits for the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class relay {
  public:
    /// Called on the relay's thread, with no lock of the relay held: bytes from the server,
    /// or `closed` once when the server closed, a read or write failed, or the connection
    /// could not be made. The relay's thread ends after `closed`.
    using report = std::function<void(relay* from, std::vector<std::uint8_t> bytes, bool closed)>;

    /// Starts connecting to `host` (a numeric IPv4 address in 127.0.0.0/8) and `port`; null
    /// when the address is refused or no socket or thread can be had.
    static std::shared_ptr<relay> open(const std::string& host, std::uint16_t port,
                                       report on_event);
    /// Stops the thread and closes the connection. Never call it (or drop the last owner)
    /// while holding a lock that `report` takes.
    ~relay();
    relay(const relay&) = delete;
    relay& operator=(const relay&) = delete;

    /// Queues bytes for the server.
    void send(const std::uint8_t* bytes, std::size_t length);
    /// The host closed: the queued bytes go out, then the connection is shut down.
    void finish();
    /// Ends the thread at once and waits for it; the connection is closed.
    void stop();

  private:
    relay(int fd, int wake, report on_event);
    void run();
    void poke();

    const int fd_;
    const int wake_;
    const report on_event_;
    std::mutex mutex_;  // guards the three below
    std::vector<std::uint8_t> out_;
    bool finishing_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace sim
