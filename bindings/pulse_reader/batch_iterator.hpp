// The iterator that iter_pulses and iter_all_records return.
#pragma once

#include "py_support.hpp"

namespace zpr::py {

extern PyTypeObject BatchIteratorType;

}  // namespace zpr::py
