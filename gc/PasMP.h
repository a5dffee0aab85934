// Busy-waiting primitives and the concurrent hash table under the garbage
// collector, one header each.
#pragma once

#include "gc/PasMPHashTable.h"
#include "gc/PasMPSpinLock.h"
