#ifndef TESSARO_PACEDRUN_H
#define TESSARO_PACEDRUN_H

// The paced mode of bench_writer: a driver-like thread hands channel blocks to the real
// AudioFileWriter at the real rate and block size, through acquire() and append(), and the
// writer thread's CPU and wake-ups are read from /proc beside a plain write() loop of the same
// bytes. Returns the process exit code.
int runPaced(const char* directory, double seconds);

#endif
