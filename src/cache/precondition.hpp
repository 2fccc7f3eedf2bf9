// A broken precondition of the caller (a vector of the wrong length). The
// core stops the operation before changing anything and throws this; the
// binding turns it into the Python-side panic, with the source location in
// its diagnostic.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace marrowvale {

class PreconditionFailure : public std::runtime_error {
public:
    PreconditionFailure(std::string message, const char* file, int line)
        : std::runtime_error(std::move(message)), file_(file), line_(line) {}

    const char* file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    const char* file_;
    int line_;
};

// The text of a failed equality check: what was checked, and both sides.
std::string equality_failure_message(const char* what, std::uint64_t left, std::uint64_t right);

}  // namespace marrowvale

#define MARROWVALE_FAIL(message) throw ::marrowvale::PreconditionFailure((message), __FILE__, __LINE__)
