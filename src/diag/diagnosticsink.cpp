#include "diagnosticsink.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> g_quiet{false};

void writeLine(const char* format, va_list args)
{
    char local[512];
    constexpr size_t kFits = sizeof local - 2; // room left for the newline and the terminator
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(local, kFits + 1, format, args);
    char* text = local;
    size_t size = length < 0 ? 0 : size_t(length);
    if (size > kFits) {
        text = static_cast<char*>(std::malloc(size + 2));
        if (text) {
            std::vsnprintf(text, size + 1, format, again);
        } else {
            text = local; // the cut line still says what happened
            size = kFits;
        }
    }
    va_end(again);
    if (length < 0)
        return;
    text[size] = '\n';
    std::fwrite(text, 1, size + 1, stderr);
    std::fflush(stderr);
    if (text != local)
        std::free(text);
}

} // namespace

void DiagnosticSink::line(const char* format, ...)
{
    if (g_quiet.load(std::memory_order_relaxed))
        return;
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

void DiagnosticSink::error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

void DiagnosticSink::setQuiet(bool quiet)
{
    g_quiet = quiet;
}
