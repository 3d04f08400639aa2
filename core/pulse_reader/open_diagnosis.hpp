// Why a file failed to open as a pulse file, in plain words, for the note beside the error.
//
// Most damaged or foreign files fail on a short read ("failed to fill whole buffer"), which
// says nothing of the cause. Looking at the file again tells the usual ones apart: not a
// pulse file at all, or one cut short before the end its header promises.
#pragma once

#include "error.hpp"

#include <string>

namespace zpr {

// "<path>: <size>; not a pulse file (it does not start with 'ZynP')", "<path>: <size>, but
// its index ends at byte N: the file is truncated", and so on; "while opening <path>" when
// the file cannot be read or looks whole.
Message diagnose_open_failure(const std::string& path);

}  // namespace zpr
