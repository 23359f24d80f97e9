// shellfloor: the cost of running a list of commands through system() alone,
// the floor for what a handler adds on top of its shell commands.
//
//   shellfloor COUNT CMD [CMD...]    runs the list COUNT times; prints the
//                                    mean time of one pass in us
#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    int count = atoi(argv[1]);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; i++)
        for (int c = 2; c < argc; c++)
            if (system(argv[c]) == -1)
                return 1;
    double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    printf("pass_us=%.1f\n", us / count);
    return 0;
}
