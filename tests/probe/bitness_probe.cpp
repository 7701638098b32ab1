// Prints the bitness it was built for. The test command runs the x86 build's
// copy to learn whether this machine runs 32-bit Windows programs at all.
#include <cstdio>

int main()
{
    std::printf("%d-bit\n", static_cast<int>(sizeof(void*) * 8));
    return 0;
}
