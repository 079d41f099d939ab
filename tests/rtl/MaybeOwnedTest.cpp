#include "rtl/MaybeOwned.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using rtl::TComponent;
using rtl::TOperation;

class Tracked : public TComponent {
 public:
  Tracked(bool& destroyed, TComponent* owner = nullptr)
      : TComponent(owner), destroyed_(destroyed) {}
  ~Tracked() override { destroyed_ = true; }

 private:
  bool& destroyed_;
};

// Holds one Tracked, forgetting it when it is destroyed elsewhere, as components do.
class Watcher : public TComponent {
 public:
  rtl::TMaybeOwned<Tracked> held{*this};

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove) held.Forget(component);
  }
};

TEST(MaybeOwned, FreesWhatItOwnsAndOnlyThat) {
  for (bool owned : {true, false}) {
    SCOPED_TRACE(owned);
    bool destroyed = false;
    auto object = std::make_unique<Tracked>(destroyed);
    Tracked* raw = object.get();
    {
      Watcher watcher;
      if (owned)
        watcher.held.Own(std::move(object));
      else
        watcher.held.Use(raw);
      EXPECT_EQ(watcher.held.Get(), raw);
      EXPECT_EQ(watcher.held.Owns(), owned);

      bool replacementDestroyed = false;
      Tracked replacement(replacementDestroyed);
      watcher.held.Use(&replacement);  // lets go of the first one
      EXPECT_EQ(destroyed, owned);
      EXPECT_FALSE(watcher.held.Owns());
      watcher.held.Reset();
      EXPECT_FALSE(replacementDestroyed);
    }
    EXPECT_EQ(destroyed, owned);
  }
}

TEST(MaybeOwned, ForgetsAnObjectDestroyedElsewhereWithoutFreeingItAgain) {
  Watcher watcher;
  bool usedDestroyed = false;
  {
    Tracked used(usedDestroyed);
    watcher.held.Use(&used);
  }
  EXPECT_EQ(watcher.held.Get(), nullptr);

  // Owned, and a component of the watcher as well: whichever frees it first, it is freed once.
  bool ownedDestroyed = false;
  auto owned = std::make_unique<Tracked>(ownedDestroyed, &watcher);
  Tracked* raw = owned.get();
  watcher.held.Own(std::move(owned));
  delete raw;  // freed by someone else
  EXPECT_TRUE(ownedDestroyed);
  EXPECT_EQ(watcher.held.Get(), nullptr);
  EXPECT_FALSE(watcher.held.Owns());
}

TEST(MaybeOwned, SetOwnsTakesOverOrGivesUpTheObjectHeld) {
  bool destroyed = false;
  Tracked* raw = new Tracked(destroyed);
  {
    Watcher watcher;
    watcher.held.Use(raw);
    watcher.held.SetOwns(true);
    EXPECT_TRUE(watcher.held.Owns());
  }
  EXPECT_TRUE(destroyed) << "an adopted object goes with its holder";

  bool kept = false;
  auto object = std::make_unique<Tracked>(kept);
  {
    Watcher watcher;
    watcher.held.Own(std::unique_ptr<Tracked>(object.get()));
    watcher.held.SetOwns(false);
  }
  EXPECT_FALSE(kept) << "an object given up on is left to whoever made it";
}

}  // namespace
