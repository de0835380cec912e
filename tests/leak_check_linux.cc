// The layer's own count of live objects, read through its private header.
#include "cfinternal.h"
#include "leak_check.h"

long liveObjects() { return cfl::liveReferences(0); }
