#pragma once
// A panic is an internal failure that correct operation never produces. It
// unwinds as a C++ exception to the call entry, which raises it in Python.

#include <exception>
#include <source_location>
#include <string>

namespace tovimera {

class Panic : public std::exception {
public:
    explicit Panic(std::string message,
                   std::source_location where = std::source_location::current());

    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Writes the report to standard error and throws. The report is written on the
// panicking thread, so it names the worker when a pool item fails.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// The report alone, for failures that arrive as foreign exceptions.
void report_panic(const std::string& message, const std::source_location& where) noexcept;

}  // namespace tovimera
