#include "rtl/Stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace {

using rtl::TMemoryStream;
using rtl::TSeekOrigin;

TEST(MemoryStreamTest, WritesPastTheEndGrowAndReadsStopAtIt) {
  TMemoryStream s;
  s.WriteBuffer("hello", 5);
  s.SetPosition(8);
  s.WriteBuffer("!", 1);  // leaves a zero-filled gap
  EXPECT_EQ(s.Size(), 9);
  EXPECT_EQ(s.ToString(), std::string("hello\0\0\0!", 9));

  s.SetPosition(3);
  char out[16] = {};
  EXPECT_EQ(s.Read(out, sizeof out), 6);
  EXPECT_EQ(s.Read(out, sizeof out), 0);
  EXPECT_THROW(s.ReadBuffer(out, 1), rtl::EStreamError);
}

TEST(MemoryStreamTest, SeekAndShrinkKeepPositionInRange) {
  TMemoryStream s;
  s.WriteBuffer("0123456789", 10);
  EXPECT_EQ(s.Seek(-3, TSeekOrigin::soEnd), 7);
  EXPECT_EQ(s.Seek(-20, TSeekOrigin::soCurrent), 0);
  s.SetPosition(9);
  s.SetSize(4);
  EXPECT_EQ(s.Position(), 4);
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
}

TEST(FileStreamTest, CopiesAFileThroughMemory) {
  auto path =
      std::filesystem::temp_directory_path() /
      ("tramlet-stream-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::string payload(200000, 'x');
  for (std::size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<char>(i * 7);
  {
    rtl::TFileStream out(path.string(), rtl::TFileStream::Mode::fmCreate);
    out.WriteBuffer(payload.data(), static_cast<std::int64_t>(payload.size()));
  }
  rtl::TFileStream in(path.string(), rtl::TFileStream::Mode::fmOpenRead);
  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(in, 0), static_cast<std::int64_t>(payload.size()));
  EXPECT_EQ(copy.ToString(), payload);
  std::filesystem::remove(path);

  EXPECT_THROW(rtl::TFileStream("/nonexistent/dir/file", rtl::TFileStream::Mode::fmOpenRead),
               rtl::EStreamError);
}

}  // namespace
