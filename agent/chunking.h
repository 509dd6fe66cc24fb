// Host-view chunking, token renumbering and the chunked send.
#pragma once

#include <cstddef>
#include <functional>

/// Results of send_hostinfo_chunked.
inline constexpr int CHUNKED_SENT = 0;     ///< every device took every chunk
inline constexpr int CHUNKED_FAILED = 1;   ///< a send returned -1, or no "DEVICE0"
inline constexpr int CHUNKED_REFUSED = 2;  ///< none failed, but a device refused a chunk

/// Sends a view longer than one transfer in chunks to every listed device. A section left
/// out as too long is logged and is no failure.
int send_hostinfo_chunked(const char* view);

/// The push-once variant of the chunked send, with its own messages and no result.
void send_hostinfo_chunked_once(const char* view);

/// Keeps the lines of `text` that begin with `old_token`, with `new_token` in its place.
/// Stores a new heap text (release with free) in `*output`.
void renumber_device_tokens(const char* text, const char* old_token, const char* new_token,
                            char** output);

/// Where a chunk is flushed: full before a section that is not the last, full before the
/// last section, or the last chunk.
enum class chunk_flush { before_section = 0, before_last = 1, last = 2 };

/// Receives each chunk: its text (NUL-terminated) and its length without the NUL.
using chunk_sink = std::function<void(chunk_flush, const char* chunk, std::size_t length)>;

/// Length of the section of index `index` that begins at `start`: up to the first occurrence
/// of the next index's token, or to the end of the text (then `*last` is set).
std::size_t find_section(const char* start, int index, bool* last);

/// Cuts `view` into chunks of at most MAX_TRANSFER - 1 characters and hands each to `flush`.
/// -1 when the view holds no "DEVICE0" (nothing flushed); 1 when a section, or the head,
/// was too long for one transfer and was left out (logged); 0 otherwise.
int chunk_hostinfo(const char* view, const chunk_sink& flush);
