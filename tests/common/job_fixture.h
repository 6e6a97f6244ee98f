// Runs jobs on files of a fresh folder, with a private request array, lock and mailbox.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "codec/format.h"
#include "jobs/process.h"
#include "jobs/requests.h"

namespace zdx::test {

inline void WriteFile(const std::filesystem::path& p, const std::vector<unsigned char>& b) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

class JobFixture : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zdx-jobs-XXXXXX";
    dir_ = mkdtemp(tmpl);
    ASSERT_TRUE(lock_.Create());
    // Nobody takes posts here unless a test says so: a dead mailbox lets every post return.
    status_.bQuit = true;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path Path(const std::string& name) const { return dir_ / name; }

  // Queues `path` and runs its job; returns the finished request.
  Request Run(const std::filesystem::path& path, JobOptions options = {}, uint32_t queuedSize = 0) {
    Request r;
    std::strncpy(r.szPath, path.c_str(), sizeof r.szPath - 1);
    r.nSrcSize = queuedSize;
    const long index = requests_.nCount;
    EXPECT_EQ(requests_.Insert(index, 1, &r), 1);
    Process(&requests_, index, &lock_, &status_, options, b1_.data(), b2_.data());
    return *requests_.At<Request>(index);
  }

  std::filesystem::path dir_;
  std::vector<unsigned char> b1_ = std::vector<unsigned char>(kChunkSize);
  std::vector<unsigned char> b2_ = std::vector<unsigned char>(kChunkSize);
  CStructArray requests_{sizeof(Request), 16};
  CXLock lock_;
  ProcStatus status_;
};

}  // namespace zdx::test
