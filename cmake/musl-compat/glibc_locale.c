/* Debian's libstdc++ (built for glibc) reads a locale object as glibc lays
   it out: after 13 category pointers come the ctype class, tolower and
   toupper tables.  musl's locale object is six category pointers.  The
   locales libstdc++ makes or copies (linked with --wrap for these two
   functions) are therefore handed out in glibc's shape: musl reads its six
   category pointers at the front, libstdc++ finds musl's glibc-compatible
   ctype tables where it looks for them. */
#include <ctype.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

struct glibc_shaped_locale {
    const void *cat[13];
    const unsigned short *ctype_b;
    const int *ctype_tolower;
    const int *ctype_toupper;
    const char *names[13];
};

const unsigned short **__ctype_b_loc(void);
const int **__ctype_tolower_loc(void);
const int **__ctype_toupper_loc(void);
locale_t __real___newlocale(int mask, const char *name, locale_t base);

static locale_t glibc_shaped(locale_t l)
{
    struct glibc_shaped_locale *g;
    if (l == (locale_t)0)
        return l;
    g = calloc(1, sizeof(*g));
    if (g == NULL)
        return (locale_t)0;
    memcpy(g->cat, l, 6 * sizeof(void *));
    g->ctype_b = *__ctype_b_loc();
    g->ctype_tolower = *__ctype_tolower_loc();
    g->ctype_toupper = *__ctype_toupper_loc();
    return (locale_t)g;
}

locale_t __wrap___newlocale(int mask, const char *name, locale_t base)
{
    return glibc_shaped(__real___newlocale(mask, name, base));
}

locale_t __wrap___duplocale(locale_t l)
{
    return glibc_shaped(l == LC_GLOBAL_LOCALE ? uselocale((locale_t)0) : l);
}
