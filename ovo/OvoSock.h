// The provider unit's own start-up of the socket library, as the hub unit
// does it: the library loaded (counted), started with version 2.2, and the
// extension functions looked up on a temporary overlapped TCP socket. No
// provider of this system uses sockets.
#pragma once

#include "hub/Sock.h"

namespace green {

extern THubSockApi OvoSock;

void OvoSocketStartup();
void OvoSocketShutdown();

}  // namespace green
