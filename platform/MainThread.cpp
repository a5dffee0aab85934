#include "platform/MainThread.h"
