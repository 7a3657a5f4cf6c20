// The processor identification instruction for the driver (KeCpuid).
#include "platform/kernel/kernel.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

void KeCpuid(ULONG function, ULONG registers[4])
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned int a = 0, b = 0, c = 0, d = 0;
    // __get_cpuid checks the highest supported function first, so an
    // unsupported one reads as all zeros instead of undefined values.
    if (__get_cpuid(function, &a, &b, &c, &d) == 0)
        a = b = c = d = 0;
    registers[0] = a;
    registers[1] = b;
    registers[2] = c;
    registers[3] = d;
#else
    (void)function;
    registers[0] = registers[1] = registers[2] = registers[3] = 0;
#endif
}
