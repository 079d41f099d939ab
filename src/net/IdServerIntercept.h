#pragma once

#include <memory>

#include "net/IdIntercept.h"
#include "rtl/Component.h"

class TIdTCPConnection;

// Gives each client connection of a server its own connection intercept.
//
// InterceptFor runs on the new client's peer thread, for several clients at once, so an
// implementation must be safe to call concurrently. The peer thread owns the intercept it returns
// and frees it after the connection. The base gives none.
class TIdServerIntercept : public rtl::TComponent {
 public:
  using rtl::TComponent::TComponent;

  virtual std::unique_ptr<TIdConnectionIntercept> InterceptFor(TIdTCPConnection* AConnection) {
    return nullptr;
  }
};
