#include "net/IdConnectThread.h"

#include <exception>

#include "net/IdStack.h"
#include "rtl/Exception.h"

TIdConnectThread::~TIdConnectThread() {
  // The body uses the members of this class; it must be over before they go.
  Shutdown();
}

void TIdConnectThread::Execute() {
  std::string message;
  bool failed = true;
  try {
    TIdStack* stack = GlobalStack();
    // A bad handle or a number that is no socket any more means the socket was closed under the
    // pending connect; whoever closed it reports that, not this thread.
    stack->CheckSocketResult(
        socketHandle_->ConnectPeer(IdAddressFamily(socketHandle_->IPVersion())),
        {winsock::WSAEBADF, winsock::WSAENOTSOCK});
    failed = false;
  } catch (const Exception& e) {
    message = e.Message();
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    // Not one of ours, so without a text: the message below still says it failed.
  }
  // An empty message reads as success, so a failure without text still leaves one.
  if (failed && message.empty()) message = "Connect failed.";
  failureMessage_ = std::move(message);
  Terminate();
}
