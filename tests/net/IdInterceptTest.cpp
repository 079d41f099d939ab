#include "net/IdIntercept.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "rtl/Stream.h"

namespace {

// An outer intercept chained to an inner one, both logging what they see.
class IdInterceptTest : public testing::Test {
 protected:
  IdInterceptTest() {
    outer_.SetNextIntercept(inner_.get());
    Watch(outer_, "outer");
    Watch(*inner_, "inner");
  }

  void Watch(TIdConnectionIntercept& intercept, const std::string& name) {
    intercept.OnConnect = [this, name](TIdConnectionIntercept* sender) {
      log_.push_back(name + " connect");
      EXPECT_EQ(&connection_, sender->Connection());
    };
    intercept.OnDisconnect = [this, name](TIdConnectionIntercept*) {
      log_.push_back(name + " disconnect");
    };
    // Each appends its name, so the stream shows the order, and leaves the position at the end.
    auto mark = [this, name](const char* what) {
      return [this, name, what](TIdConnectionIntercept*, rtl::TStream& stream) {
        stream.Seek(0, rtl::TSeekOrigin::soEnd);
        stream.WriteBuffer(name.data(), static_cast<std::int64_t>(name.size()));
        log_.push_back(name + " " + what);
      };
    };
    intercept.OnReceive = mark("receive");
    intercept.OnSend = mark("send");
  }

  rtl::TComponent connection_;
  std::unique_ptr<TIdConnectionIntercept> inner_ = std::make_unique<TIdConnectionIntercept>();
  TIdConnectionIntercept outer_;
  std::vector<std::string> log_;
};

TEST_F(IdInterceptTest, ReceivePassesTheInnerFirstAndSendTheOuterFirst) {
  rtl::TMemoryStream received;
  received.WriteBuffer(">", 1);
  outer_.Receive(received);
  EXPECT_EQ(">innerouter", received.ToString());
  EXPECT_EQ(0, received.Position());

  rtl::TMemoryStream sent;
  sent.WriteBuffer(">", 1);
  outer_.Send(sent);
  EXPECT_EQ(">outerinner", sent.ToString());
  EXPECT_EQ(0, sent.Position());

  EXPECT_EQ(
      (std::vector<std::string>{"inner receive", "outer receive", "outer send", "inner send"}),
      log_);
}

TEST_F(IdInterceptTest, ConnectAndDisconnectRunThroughTheChain) {
  outer_.Connect(&connection_);
  EXPECT_EQ(&connection_, outer_.Connection());
  EXPECT_EQ(&connection_, inner_->Connection());
  outer_.Disconnect();
  EXPECT_EQ(nullptr, outer_.Connection());
  EXPECT_EQ(nullptr, inner_->Connection());
  EXPECT_EQ((std::vector<std::string>{"outer connect", "inner connect", "inner disconnect",
                                      "outer disconnect"}),
            log_);
}

TEST_F(IdInterceptTest, DestroyedPartnersAreForgotten) {
  inner_.reset();
  EXPECT_EQ(nullptr, outer_.NextIntercept());
  rtl::TMemoryStream stream;
  outer_.Send(stream);  // must not reach the destroyed intercept
  EXPECT_EQ("outer", stream.ToString());

  auto connection = std::make_unique<rtl::TComponent>();
  outer_.OnConnect = nullptr;
  outer_.Connect(connection.get());
  connection.reset();
  EXPECT_EQ(nullptr, outer_.Connection());
}

}  // namespace
