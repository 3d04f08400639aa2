// Error types of the core library.
//
// Every fallible core operation either returns its result or throws one of two types:
// `Error` for ordinary failures (a damaged file, an I/O error, a refused request), carrying
// one human-readable message, and `InternalFault` for broken internal expectations (for
// example merge metadata that lacks a member the merge relies on). The Python bindings
// turn the first into RuntimeError and the second into PanicException, in one place.
#pragma once

#include <exception>
#include <string>

namespace zpr {

namespace detail {

class MessageException : public std::exception {
public:
    explicit MessageException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

}  // namespace detail

class Error : public detail::MessageException {
public:
    using MessageException::MessageException;
};

class InternalFault : public detail::MessageException {
public:
    using MessageException::MessageException;
};

// The operating system's description of `errnum` followed by " (os error N)".
Error os_error(int errnum);

// An exact read that met the end of the file.
Error unexpected_eof();

}  // namespace zpr
