#ifndef TESSARO_DIAGNOSTICSINK_H
#define TESSARO_DIAGNOSTICSINK_H

// Where the low-level diagnostics of every layer go: standard error, one line per call. Standard
// output stays for what a command prints as its result (the device list, the version), so a
// script reading it never gets a driver's chatter mixed in.
//
// Threads: any, the driver thread included. A line is formatted on the caller's stack (a line
// longer than that buffer is allocated) and written with one stdio call, which the C library
// locks as a whole: lines from different threads never interleave. A failed write (standard
// error closed or a pipe whose reader has gone) is ignored: a diagnostic never stops the caller.
class DiagnosticSink
{
public:
    // printf-style; the newline is added.
    static void line(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

#endif
