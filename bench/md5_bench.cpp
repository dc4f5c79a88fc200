// Times HashFileMD5 over one file and prints the digest and the seconds it took:
//   md5_bench FILE [ROUNDS]  ->  "<digest> <best seconds>"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kernel/TextConvert.h"
#include "patch/MD5.h"

int main(int argc, char **argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: md5_bench FILE [ROUNDS]\n");
        return 2;
    }
    const std::wstring path = NativeToPath(argv[1]);
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 1;
    double best = 1e30;
    std::wstring digest;
    for (int i = 0; i < rounds; ++i)
    {
        const auto start = std::chrono::steady_clock::now();
        if (!HashFileMD5(path, digest))
        {
            fprintf(stderr, "md5_bench: cannot read %s\n", argv[1]);
            return 1;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    printf("%s %.3f\n", WideToNarrow(digest).c_str(), best);
    return 0;
}
