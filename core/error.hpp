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
#include <string_view>
#include <vector>

namespace zpr {

// Where a message quotes a file name, in bytes from the start of its text.
struct NameSpan {
    std::size_t offset;
    std::size_t length;
};

// Message text that remembers which of its bytes are file names. A file name is quoted as
// the bytes the operating system was given, which need not be UTF-8; the rest of a message is
// UTF-8 text, apart from bytes quoted from a damaged file. Knowing the spans lets the caller
// show each part in its own way.
class Message {
public:
    Message() = default;
    Message(std::string text) : text_(std::move(text)) {}  // NOLINT: plain text converts implicitly

    Message& text(std::string_view piece) {
        text_ += piece;
        return *this;
    }
    Message& name(std::string_view file_name) {
        names_.push_back({text_.size(), file_name.size()});
        text_ += file_name;
        return *this;
    }
    Message& append(const Message& other) {
        for (const NameSpan& span : other.names_) names_.push_back({text_.size() + span.offset, span.length});
        text_ += other.text_;
        return *this;
    }

    const std::string& str() const noexcept { return text_; }
    const std::vector<NameSpan>& names() const noexcept { return names_; }

private:
    std::string text_;
    std::vector<NameSpan> names_;  // ascending, not overlapping
};

namespace detail {

// A message, and notes that say more beside it (which file, why) without changing it: the
// code that an error passes through on its way out adds what it knows.
class MessageException : public std::exception {
public:
    explicit MessageException(std::string message) : message_(std::move(message)) {}
    explicit MessageException(Message message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.str().c_str(); }
    const std::string& message() const noexcept { return message_.str(); }
    const std::vector<NameSpan>& file_names() const noexcept { return message_.names(); }

    const std::vector<Message>& notes() const noexcept { return notes_; }
    void add_note(Message note) { notes_.push_back(std::move(note)); }

private:
    Message message_;
    std::vector<Message> notes_;
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

// Runs `body`; an error that leaves it gets `note()` added.
template <class Body, class Note>
decltype(auto) noting(Note&& note, Body&& body) {
    try {
        return body();
    } catch (detail::MessageException& error) {
        error.add_note(note());
        throw;
    }
}

}  // namespace zpr
