/* libstdc++ built for glibc asks whether the process is single-threaded;
   0 keeps it on atomic operations throughout. */
char __libc_single_threaded = 0;
