// The providers' internals: the push-back buffer with its decoded text,
// the line and match searches, the codecs and the unit's socket start-up.
#pragma once

#include "ovo/Codec.h"
#include "ovo/ConsoleApplicationImpl.h"
#include "ovo/OvoSock.h"
#include "ovo/Ovo.h"
#include "ovo/PushBack.h"
#include "ovo/Search.h"
