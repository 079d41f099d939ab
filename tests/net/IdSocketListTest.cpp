#include "net/IdSocketList.h"

#include <gtest/gtest.h>

#include "net/IdException.h"

namespace {

TEST(IdSocketList, HoldsAtMost64) {
  std::unique_ptr<TIdSocketList> list = SocketSetClass()();
  ASSERT_NE(dynamic_cast<TIdSocketListWindows*>(list.get()), nullptr);
  for (int i = 0; i < 64; ++i)
    list->AddSocket(100 + i);
  EXPECT_EQ(list->SocketCount(), 64);
  EXPECT_THROW(list->AddSocket(999), EIdStackSetSizeExceeded);
  EXPECT_EQ(list->SocketCount(), 64);
  EXPECT_EQ(list->SocketAt(0), 100);
  EXPECT_EQ(list->SocketAt(63), 163);
}

TEST(IdSocketList, IndexOutsideRaises) {
  TIdSocketListWindows list;
  EXPECT_THROW(list.SocketAt(0), EIdStackSetSizeExceeded);
  list.AddSocket(7);
  EXPECT_EQ(list.SocketAt(0), 7);
  for (int index : {-1, 1, 64}) {
    SCOPED_TRACE(index);
    try {
      list.SocketAt(index);
      ADD_FAILURE() << "no error";
    } catch (const EIdStackSetSizeExceeded& e) {
      EXPECT_EQ(e.Message(), "Set Size Exceeded.");
    }
  }
}

TEST(IdSocketList, RemoveMovesTheLastIntoTheGap) {
  TIdSocketListWindows list;
  for (winsock::SOCKET s : {10, 11, 12, 13})
    list.AddSocket(s);

  list.RemoveSocket(11);
  ASSERT_EQ(list.SocketCount(), 3);
  EXPECT_EQ(list.SocketAt(0), 10);
  EXPECT_EQ(list.SocketAt(1), 13);
  EXPECT_EQ(list.SocketAt(2), 12);
  EXPECT_EQ(list.FDSet().fd_array[3], 0);

  list.RemoveSocket(99);  // not in the set
  EXPECT_EQ(list.SocketCount(), 3);

  list.RemoveSocket(12);  // the last one
  EXPECT_EQ(list.SocketCount(), 2);
  EXPECT_EQ(list.FDSet().fd_array[2], 0);
  EXPECT_EQ(list.FDSet().fd_count, 2u);
}

TEST(IdSocketList, RemovesOnlyTheFirstOfEqualEntries) {
  TIdSocketListWindows list;
  for (winsock::SOCKET s : {5, 6, 5})
    list.AddSocket(s);
  list.RemoveSocket(5);
  ASSERT_EQ(list.SocketCount(), 2);
  EXPECT_EQ(list.SocketAt(0), 5);
  EXPECT_EQ(list.SocketAt(1), 6);
}

}  // namespace
