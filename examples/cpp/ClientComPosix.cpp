#include "ClientCom.h"
#include "automation/Quellar.h"

bool ClientStart() {
  return true;
}
void ClientStop() {}
HRESULT ClientCreate(const char* progId, REFIID riid, void** object) {
  return QuellarCreateObject(progId, &riid, object);
}
