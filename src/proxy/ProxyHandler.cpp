#include "proxy/ProxyHandler.h"

#include <utility>

#include "net/IdPeerThread.h"
#include "rtl/Time.h"

namespace proxy {

ProxyHandler::ProxyHandler(ProxyView& view, const LiveSettings& settings, ProxyCounters& counters,
                           PauseFunction pause, RunLimits limits)
    : shared_{view, settings, counters,
              pause ? std::move(pause) : [](std::int32_t ms) { rtl::Sleep(ms); }, limits} {}

void ProxyHandler::Execute(TIdPeerThread* AThread) {
  Run(*AThread->Connection(), [AThread] { return AThread->Terminated(); });
}

void ProxyHandler::Run(TIdTCPConnection& client, const std::function<bool()>& terminated) {
  RequestRun(shared_, client, terminated).Serve();
}

}  // namespace proxy
