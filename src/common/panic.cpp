#include "common/panic.hpp"

#include <pthread.h>

#include <cstdio>

namespace tovimera {

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void report_panic(const std::string& message, const std::source_location& where) noexcept {
    char name[64] = "<unnamed>";
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        std::snprintf(name, sizeof name, "<unnamed>");
    }
    std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\n%s\n", name, where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 message.c_str());
    std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
    report_panic(message, where);
    throw Panic(std::move(message), where);
}

}  // namespace tovimera
