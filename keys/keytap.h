// The key-injection driver's interface: where it is opened and the one
// request it takes. The program and the native stand-in for the driver both
// build on this.
#pragma once

#define KEYDRV_PATH "\\\\.\\keytap.vxd"
#define KEYDRV_SEND_PACKET 1 // a packet of one or two set-1 scan codes, delivered in order
