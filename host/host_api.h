#pragma once

// Symbols of the host framework library stay visible to the plug-ins built against it, even when
// a plug-in compiles with hidden visibility: vtables and type information exist once, here.
#define KELVRA_HOST_API __attribute__((visibility("default")))
