#include <unistd.h>

#include "startup.h"

int main(int argc, char** argv) {
    // The reader thread may still be blocked in a read: leave without running destructors under it.
    _exit(startUp(argc, argv));
}
