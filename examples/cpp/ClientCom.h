#pragma once
// What a client does differently on each platform to reach the library: on Windows the COM
// runtime and the registry, elsewhere the library's own creation function.
#include "automation/Quellar_TLB.h"

// Prepares the calling thread for automation objects; false when that fails.
bool ClientStart();
void ClientStop();
// Creates an object by programmatic identifier ("Quellar.Controller") and queries it for riid.
HRESULT ClientCreate(const char* progId, REFIID riid, void** object);
