#pragma once

#include "net/IdThreadMgr.h"

// A new thread for every client, freed when the client's run is over; nothing is pooled.
class TIdThreadMgrDefault : public TIdThreadMgr {
 public:
  using TIdThreadMgr::TIdThreadMgr;

  TIdThread* AcquireThread() override;
  // On the thread itself: marks it FreeWhenFinished and terminates it, so it frees itself when
  // its body ends. On any other thread: ends a thread that is not suspended and frees it.
  void ReleaseThread(TIdThread* AThread) override;
};
