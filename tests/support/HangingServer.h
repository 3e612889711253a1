// A small HTTP server for tests and benchmarks of a service that hangs: run as
// `python3 -c SCRIPT ANSWERS MARKER PORT` (or from a file) it answers ANSWERS requests,
// then hangs on the next for good and says so by creating MARKER; being
// single-threaded, it answers nothing more.
#pragma once

namespace KestruneTest {

extern const char* const hangingServer;

} // namespace KestruneTest
