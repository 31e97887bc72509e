// The main device pauses 20 ms before it handles each reply. A fuzz target
// runs thousands of replies a second, so the pause is a no-op here: the
// executable's definition comes before the C library's.
#include <unistd.h>

extern "C" int usleep(useconds_t) { return 0; }
