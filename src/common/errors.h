// Failure kinds that the conversion driver tells apart when an image fails.
#pragma once

#include <stdexcept>
#include <string>

namespace tessary {

// A failed open, read, write, seek or close. The message is the operating
// system's text for the error code (strerror), nothing else, because the
// driver writes it into the log line as it stands.
class IoError : public std::runtime_error {
public:
    IoError(const std::string& osText, int code = 0) : std::runtime_error(osText), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// Raises an IoError for errno (or the given code).
[[noreturn]] void ThrowIoError(int code);

// zlib failures. Both carry the message "error".
class ECompressionError : public std::runtime_error {
public:
    ECompressionError() : std::runtime_error("error") {}
};

class EDecompressionError : public std::runtime_error {
public:
    EDecompressionError() : std::runtime_error("error") {}
};

}  // namespace tessary
