#include "rtl/ThreadList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "rtl/CriticalSection.h"

namespace {

using rtl::TCriticalSection;
using rtl::TCriticalSectionGuard;
using rtl::TThreadList;

TEST(CriticalSectionTest, OwnerMayEnterAgainOthersWaitForTheLastLeave) {
  TCriticalSection section;
  section.Enter();
  {
    TCriticalSectionGuard again(section);  // re-entry by the owner must not deadlock
    std::thread other([&] { EXPECT_FALSE(section.TryEnter()); });
    other.join();
  }
  std::thread stillHeld([&] { EXPECT_FALSE(section.TryEnter()); });
  stillHeld.join();
  section.Leave();
  std::thread free([&] {
    ASSERT_TRUE(section.TryEnter());
    section.Leave();
  });
  free.join();
}

TEST(ThreadListTest, SingleStepOperations) {
  int a = 0, b = 0, c = 0;
  TThreadList<int> list;
  list.Add(&a);
  list.Add(&b);
  list.Add(&a);  // already listed
  EXPECT_EQ(list.Count(), 2u);
  list.Remove(&c);  // not listed
  EXPECT_EQ(list.Count(), 2u);
  list.Remove(&a);
  EXPECT_FALSE(list.Contains(&a));
  EXPECT_TRUE(list.Contains(&b));
  {
    auto locked = list.Lock();
    locked->push_back(&c);
  }
  std::vector<int*>& raw = list.LockList();
  EXPECT_EQ(raw, std::vector<int*>({&b, &c}));
  list.UnlockList();
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
}

TEST(ThreadListTest, ContentionKeepsEveryItemAndEveryLockedStepWhole) {
  constexpr int kWriters = 4;
  constexpr int kItems = 400;
  std::vector<std::vector<int>> items(kWriters, std::vector<int>(kItems));
  TThreadList<int> list;
  std::atomic<int> writersDone{0};
  std::atomic<bool> tornPair{false};

  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i + 1 < kItems; i += 2) {
        {
          // Items go in as pairs under one lock hold; a reader must never see half a pair.
          auto locked = list.Lock();
          locked->push_back(&items[t][i]);
          locked->push_back(&items[t][i + 1]);
        }
        if (i % 4 == 0) {
          auto locked = list.Lock();
          std::erase(*locked, &items[t][i]);
          std::erase(*locked, &items[t][i + 1]);
        }
      }
      ++writersDone;
    });
  threads.emplace_back([&] {
    while (writersDone < kWriters) {
      auto locked = list.Lock();
      if (locked->size() % 2 != 0) tornPair = true;
    }
  });
  for (auto& th : threads)
    th.join();

  EXPECT_FALSE(tornPair);
  // Pairs starting at i % 4 == 0 were removed again; the others stay.
  EXPECT_EQ(list.Count(), static_cast<std::size_t>(kWriters * kItems / 2));
  for (int t = 0; t < kWriters; ++t)
    for (int i = 0; i < kItems; ++i)
      ASSERT_EQ(list.Contains(&items[t][i]), i % 4 >= 2) << t << "/" << i;
}

}  // namespace
