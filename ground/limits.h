// Limits of the in-band channel that more than one layer needs.
#pragma once

/// One transfer to the array carries at most this many bytes, text and NUL.
inline constexpr int MAX_TRANSFER = 65535;
