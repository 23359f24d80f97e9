/* std::random_device of a libstdc++ built for glibc 2.36 reads arc4random. */
#include <stdint.h>
#include <sys/random.h>

uint32_t arc4random(void)
{
    uint32_t v;
    while (getrandom(&v, sizeof(v), 0) != (ssize_t)sizeof(v)) {
    }
    return v;
}
