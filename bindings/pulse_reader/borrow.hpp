// Shared and exclusive access to a PulseReader object. A conflicting call fails at once
// instead of waiting, so no two threads ever use one core reader together; the flag is only
// changed with the interpreter lock held.
#pragma once

#include "pulse_reader/py_pulse_reader.hpp"

namespace zpr::py {

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(PyPulseReader* self) : self_(self) {
        if (self_->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        self_->borrow = -1;
    }
    ~ExclusiveAccess() { self_->borrow = 0; }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    PyPulseReader* self_;
};

class SharedAccess {
public:
    explicit SharedAccess(PyPulseReader* self) : self_(self) {
        if (self_->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++self_->borrow;
    }
    ~SharedAccess() { --self_->borrow; }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    PyPulseReader* self_;
};

}  // namespace zpr::py
