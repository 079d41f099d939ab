#include "rtl/Component.h"

#include <gtest/gtest.h>

#include <vector>

#include "rtl/Collection.h"

namespace {

using rtl::TComponent;
using rtl::TOperation;

// Records its own destruction and every removal it is told about.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::vector<std::string>* log, std::string name)
      : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~Probe() override { log_->push_back("free " + Name()); }

  TComponent* watched = nullptr;

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    if (operation == TOperation::opRemove) {
      log_->push_back(Name() + " told of " + component->Name());
      if (component == watched) watched = nullptr;
    }
  }

 private:
  std::vector<std::string>* log_;
};

TEST(ComponentTest, OwnerFreesWhatItOwnsAndForgetsWhatWasFreedEarlier) {
  std::vector<std::string> log;
  auto* owner = new Probe(nullptr, &log, "owner");
  new Probe(owner, &log, "a");
  auto* b = new Probe(owner, &log, "b");
  ASSERT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(b->Owner(), owner);

  delete b;  // must leave the owner's list, or the owner frees it twice
  EXPECT_EQ(owner->ComponentCount(), 1);
  delete owner;
  EXPECT_NE(std::find(log.begin(), log.end(), "free a"), log.end());
  EXPECT_EQ(std::count(log.begin(), log.end(), "free b"), 1);
}

TEST(ComponentTest, FreeNotificationClearsPointersBothWays) {
  std::vector<std::string> log;
  auto* user = new Probe(nullptr, &log, "user");
  auto* used = new Probe(nullptr, &log, "used");
  user->watched = used;
  user->FreeNotification(used);

  delete used;
  EXPECT_EQ(user->watched, nullptr);
  EXPECT_NE(std::find(log.begin(), log.end(), "user told of used"), log.end());

  // The watcher going first must not leave a dangling entry behind in the other.
  auto* other = new Probe(nullptr, &log, "other");
  user->FreeNotification(other);
  delete user;
  delete other;  // ASan catches a notification sent to the freed watcher
  EXPECT_EQ(std::count(log.begin(), log.end(), "other told of user"), 1);
}

TEST(ComponentTest, RemovedFreeNotificationIsSilent) {
  std::vector<std::string> log;
  Probe user(nullptr, &log, "user");
  auto* used = new Probe(nullptr, &log, "used");
  user.FreeNotification(used);
  user.RemoveFreeNotification(used);
  delete used;
  EXPECT_EQ(std::count(log.begin(), log.end(), "user told of used"), 0);
}

struct Item : rtl::TCollectionItem {
  int value = 0;
};

TEST(CollectionTest, ItemsKnowTheirPlaceAfterDeletes) {
  rtl::TCollectionOf<Item> items;
  for (int i = 0; i < 4; ++i)
    items.Add()->value = i;
  items.Delete(1);
  ASSERT_EQ(items.Count(), 3);
  EXPECT_EQ(items.Items(1)->value, 2);
  EXPECT_EQ(items.Items(1)->Index(), 1);
  EXPECT_EQ(items.Items(2)->Collection(), &items);
  EXPECT_THROW(items.Delete(3), std::out_of_range);
  items.Clear();
  EXPECT_EQ(items.Count(), 0);
}

}  // namespace
