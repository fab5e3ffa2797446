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
// The quiet switch is an atomic flag, set once at start-up before any other thread runs.
class DiagnosticSink
{
public:
    // printf-style; the newline is added. Dropped once quiet is set.
    static void line(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // As line(), but written even when quiet: something failed.
    static void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Only errors reach standard error from now on (a script that runs the recorder with
    // --quiet reads failures there and nothing else).
    static void setQuiet(bool quiet);
};

#endif
