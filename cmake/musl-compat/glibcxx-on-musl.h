/* Debian's libstdc++ headers were configured for glibc: its "gnu" locale
   model names glibc's locale type and ctype class bits.  musl has the same
   locale object and a glibc-layout __ctype_b_loc table, so these names are
   all that is missing.  Bits as glibc numbers them on a big-endian target. */
#ifndef GLIBCXX_ON_MUSL_H
#define GLIBCXX_ON_MUSL_H
typedef struct __locale_struct *__locale_t;
enum {
    _ISupper = 1 << 0, _ISlower = 1 << 1, _ISalpha = 1 << 2, _ISdigit = 1 << 3,
    _ISxdigit = 1 << 4, _ISspace = 1 << 5, _ISprint = 1 << 6, _ISgraph = 1 << 7,
    _ISblank = 1 << 8, _IScntrl = 1 << 9, _ISpunct = 1 << 10, _ISalnum = 1 << 11
};

/* Its configuration also promises glibc's pthread clock waits (glibc 2.30),
   which musl 1.2 lacks; without them libstdc++ falls back to the POSIX
   timed waits. */
#ifdef __cplusplus
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK
#endif
#endif
