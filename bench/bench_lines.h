/* The lines every flood and every reference is made of, shared by the C service and the C++
   drivers so that they move exactly the same bytes. Each ends with its line feed. */
#ifndef ZP_BENCH_LINES_H
#define ZP_BENCH_LINES_H

/* 100 bytes: a log line of the kind a service prints while it works. */
#define ZP_BENCH_PLAIN_LINE \
  "2024-05-14T09:21:07.481Z INFO  worker[3] copied chunk 000417 of 009123 into staging (4096 B) ok....\n"

/* 30 bytes: a status line the launcher does not act on. */
#define ZP_BENCH_JSON_LINE "{\"status\":\"progress\",\"n\":123}\n"

/* The ready line: an address the launcher accepts. */
#define ZP_BENCH_READY_LINE "{\"status\":\"ready\",\"url\":\"http://127.0.0.1:8765/\"}\n"

/* Writes of a block-buffered stdout, as Python's io does into a pipe. */
#define ZP_BENCH_BLOCK 8192

/* Orders for the service when the launcher runs it (in its working directory), and the
   timestamps it leaves there. */
#define ZP_BENCH_CONF "zp-bench-service.conf"
#define ZP_BENCH_TIMES "zp-bench-times"

#endif
