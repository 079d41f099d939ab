#include "net/IdServerIOHandler.h"

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::Accept(TIdStackSocketHandle, TIdThread*) {
  return nullptr;
}
