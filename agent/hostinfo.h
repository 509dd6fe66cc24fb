// Host-view collection, chunking and renumbering.
#pragma once

/// Runs the host-information script and returns its whole output as a NUL-terminated heap
/// text (release with free), or null when nothing could be collected.
char* determine_hostinfo(const char* script);

/// Sends a view longer than one transfer in chunks to every listed device.
/// 0 when no send returned -1; 1 when one did or the view holds no "DEVICE0".
int send_hostinfo_chunked(const char* view);

/// The push-once variant of the chunked send, with its own messages and no result.
void send_hostinfo_chunked_once(const char* view);

/// Keeps the lines of `text` that begin with `old_token`, with `new_token` in its place.
/// Stores a new heap text (release with free) in `*output`.
void renumber_device_tokens(const char* text, const char* old_token, const char* new_token,
                            char** output);
