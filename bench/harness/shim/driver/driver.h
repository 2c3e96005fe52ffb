/*
** Stands in for the bootstrap driver's header when the payload reader
** (static_src/attached_data/payload_stream.cpp) is compiled into a benchmark
** harness: the reader needs nothing from the driver but the fatal exit.
*/
#ifndef BENCH_SHIM_DRIVER_H
#define BENCH_SHIM_DRIVER_H

/* Prints the message and exits with status 2, as the bootstrap does. */
[[noreturn]] void fatal_error(const char *message);

#endif
