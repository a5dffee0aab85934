// A public header that includes a private one: the check must name it.
#pragma once

#include <string>

#include "../../Private.h"
