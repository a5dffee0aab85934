// A public header that includes a system header beyond the standard
// library: the check must name it.
#pragma once

#include <pthread.h>
