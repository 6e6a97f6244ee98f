// Direction test, output naming in both directions, and the header bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "jobs/container.h"

namespace {

struct NameCase {
  std::string input;
  bool container;          // expanded rather than compressed
  std::string compressed;  // output when compressed ("" for a container)
  std::string ext;         // stored extension when compressed
};

const std::string kExt127(127, 'e');

const NameCase kNames[] = {
    {"a.txt", false, "a.zdx", "txt"},
    {"a.b.c", false, "a.b.zdx", "c"},
    {"a", false, "a.zdx", ""},
    {"a.", false, "a.zdx", ""},
    {"a.zdx", true, "", ""},
    {"a.ZDX", true, "", ""},
    {"a.Zdx", true, "", ""},
    {"a.zdxx", false, "a.zdx", "zdxx"},
    {"a.zd", false, "a.zdx", "zd"},
    {"dir.d/file", false, "dir.d/file.zdx", ""},
    {"dir.zdx/file", false, "dir.zdx/file.zdx", ""},
    {"dir.d/file.txt", false, "dir.d/file.zdx", "txt"},
    {"a." + kExt127, false, "a.zdx", kExt127},
};

TEST(Naming, DirectionAndCompressedName) {
  for (const NameCase& c : kNames) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(IsContainerPath(c.input.c_str()), c.container);
    if (c.container) continue;
    char out[zdx::kPathMax];
    ContainerHeader h;
    ASSERT_EQ(MakeCompressedName(c.input.c_str(), out, h), JobError::None);
    EXPECT_EQ(std::string(out), c.compressed);
    EXPECT_EQ(std::string(h.szExt), c.ext);
    EXPECT_EQ(h.nExtLen, c.ext.size());
  }
}

TEST(Naming, ExpandedNameAddsTheStoredExtension) {
  struct {
    const char* container;
    const char* ext;
    const char* output;
  } const cases[] = {
      {"a.zdx", "txt", "a.txt"}, {"a.zdx", "", "a"}, {"dir.d/a.ZDX", "c", "dir.d/a.c"}, {"x/.zdx", "bashrc", "x/.bashrc"}};
  for (const auto& c : cases) {
    ContainerHeader h;
    std::strcpy(h.szExt, c.ext);
    h.nExtLen = static_cast<uint8_t>(std::strlen(c.ext));
    char out[zdx::kPathMax];
    ASSERT_EQ(MakeExpandedName(c.container, h, out), JobError::None);
    EXPECT_STREQ(out, c.output);
  }
}

TEST(Naming, NamesThatDoNotFitFail) {
  char out[zdx::kPathMax];
  ContainerHeader h;
  const std::string longExt = "a." + std::string(128, 'e');
  EXPECT_EQ(MakeCompressedName(longExt.c_str(), out, h), JobError::NameTooLong);
  const std::string stem255(255, 's'), stem256(256, 's');
  EXPECT_EQ(MakeCompressedName((stem255 + ".txt").c_str(), out, h), JobError::None);
  EXPECT_EQ(std::strlen(out), 259u);
  EXPECT_EQ(MakeCompressedName((stem256 + ".txt").c_str(), out, h), JobError::NameTooLong);

  ContainerHeader ext;
  std::memset(ext.szExt, 'e', 127);
  ext.nExtLen = 127;
  const std::string fits(259 - 128, 'c'), tooLong(259 - 127, 'c');
  EXPECT_EQ(MakeExpandedName((fits + ".zdx").c_str(), ext, out), JobError::None);
  EXPECT_EQ(MakeExpandedName((tooLong + ".zdx").c_str(), ext, out), JobError::NameTooLong);
}

std::vector<unsigned char> HeaderBytes(const ContainerHeader& h) {
  std::FILE* f = std::tmpfile();
  EXPECT_TRUE(WriteHeader(f, h));
  std::vector<unsigned char> out(static_cast<size_t>(std::ftell(f)));
  std::rewind(f);
  EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
  std::fclose(f);
  return out;
}

TEST(Header, LayoutWithAndWithoutExtension) {
  ContainerHeader txt;
  char path[zdx::kPathMax];
  ASSERT_EQ(MakeCompressedName("a.txt", path, txt), JobError::None);
  txt.nFilterMode = 5;
  txt.nSize = 0x01020304;
  const std::vector<unsigned char> want17 = {'Z', 'D', 'X', '1', 3, 't', 'x', 't', 5, 4, 3, 2, 1, 0, 0, 0, 0};
  EXPECT_EQ(HeaderBytes(txt), want17);
  EXPECT_EQ(txt.HeaderSize(), 17u);

  ContainerHeader none;
  ASSERT_EQ(MakeCompressedName("a", path, none), JobError::None);
  none.nFilterMode = 1;
  none.nSize = 7;
  const std::vector<unsigned char> want14 = {'Z', 'D', 'X', '1', 0, 1, 7, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(HeaderBytes(none), want14);
}

JobError Read(const std::vector<unsigned char>& bytes, ContainerHeader& h) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  const JobError e = ReadHeader(f, h);
  std::fclose(f);
  return e;
}

TEST(Header, ReaderChecks) {
  struct {
    const char* name;
    std::vector<unsigned char> bytes;
    JobError want;
  } const cases[] = {
      {"valid, reserved word ignored", {'Z', 'D', 'X', '1', 1, 'c', 0, 9, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD}, JobError::None},
      {"wrong magic", {'Z', 'D', 'X', '2', 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, JobError::NotContainer},
      {"shorter than the magic", {'Z', 'D'}, JobError::NotContainer},
      {"extension cut short", {'Z', 'D', 'X', '1', 5, 'a', 'b'}, JobError::NotContainer},
      {"reserved word cut short", {'Z', 'D', 'X', '1', 0, 1, 0, 0, 0, 0, 0, 0}, JobError::NotContainer},
      {"filter mode 6", {'Z', 'D', 'X', '1', 0, 6, 0, 0, 0, 0, 0, 0, 0, 0}, JobError::BadHeader},
      {"extension with a slash", {'Z', 'D', 'X', '1', 4, '.', '.', '/', 'x', 1, 0, 0, 0, 0, 0, 0, 0, 0},
       JobError::BadExtension},
      {"extension with a NUL", {'Z', 'D', 'X', '1', 2, 'a', 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, JobError::BadExtension},
      {"extension longer than 127", {'Z', 'D', 'X', '1', 128}, JobError::NameTooLong},
  };
  for (const auto& c : cases) {
    ContainerHeader h;
    EXPECT_EQ(Read(c.bytes, h), c.want) << c.name;
  }
  ContainerHeader h;
  ASSERT_EQ(Read(cases[0].bytes, h), JobError::None);
  EXPECT_STREQ(h.szExt, "c");
  EXPECT_EQ(h.nFilterMode, 0);  // 0 is accepted and undoes no filter
  EXPECT_EQ(h.nSize, 9u);
}

}  // namespace
