#include "update/checksum_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "support/temp_dir.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Walks `text` with a reader and describes every step, e.g.
// "E(./a,h1) END DONE".
std::string Walk(const std::string& text) {
  TempDir dir;
  WriteFile(dir / "list.txt", text);
  File file(std::fopen((dir / "list.txt").c_str(), "r"));
  ChecksumListReader reader(file.get());
  std::string steps, path, hash;
  for (int guard = 0; guard < 1000; ++guard) {
    if (!steps.empty()) steps += " ";
    switch (reader.Next(path, hash)) {
      case ListRead::kEntry:
        steps += "E(" + path + "," + hash + ")";
        break;
      case ListRead::kEndAfterLineEnd:
        steps += "END";
        break;
      case ListRead::kMalformed:
        steps += "MAL(" + reader.error() + ")";
        break;
      case ListRead::kEndWithoutLineEnd:
        return steps + "DONE";
    }
  }
  return steps + "...";
}

// The steps ReadListSteps keeps of `text` (with the texts of `listed`),
// described as by Walk, each text checked to be followed by a NUL.
std::string KeptSteps(
    const std::string& text,
    const std::map<std::string, std::string>* listed = nullptr) {
  TempDir dir;
  WriteFile(dir / "list.txt", text);
  File file(std::fopen((dir / "list.txt").c_str(), "r"));
  const ListSteps steps = ReadListSteps(file.get(), listed);
  std::string described;
  for (const ListStep& step : steps) {
    for (std::string_view part : {step.path(), step.hash(), step.error()}) {
      if (part.data()[part.size()] != '\0') return "text without a NUL";
    }
    switch (step.read()) {
      case ListRead::kEntry:
        described += "E(" + std::string(step.path()) + "," +
                     std::string(step.hash()) + ") ";
        break;
      case ListRead::kEndAfterLineEnd:
        described += "END ";
        break;
      case ListRead::kMalformed:
        described += "MAL(" + std::string(step.error()) + ") ";
        break;
      case ListRead::kEndWithoutLineEnd:
        described += "DONE ";
        break;
    }
  }
  return described + "DONE";
}

TEST(ChecksumListReaderTest, WalksByTheFormatRules) {
  const std::string f255(255, 'f');
  const std::string f256(256, 'f');
  const std::string nul("./a\0b", 5);
  // Entries of more text than one block of the kept steps holds.
  std::string many = "v 1\n", many_steps;
  for (int i = 0; i < 400; ++i) {
    const std::string path = "./" + std::to_string(i) + std::string(250, 'p');
    many += path + " h" + std::to_string(i) + "\n";
    many_steps += "E(" + path + ",h" + std::to_string(i) + ") ";
  }
  const struct {
    const char* name;
    std::string text;
    std::string steps;
  } cases[] = {
      {"plain", "version_file 5\n./a h1\n./b h2\n",
       "E(./a,h1) E(./b,h2) END DONE"},
      {"no final line feed", "version_file 5\n./a h1", "E(./a,h1) DONE"},
      {"header only", "version_file 5\n", "END DONE"},
      {"header without line feed", "version_file 5", "END DONE"},
      {"empty file", "", "DONE"},
      {"blank lines", "version_file 5\n\n\n./a h1\n", "E(./a,h1) END DONE"},
      {"extra fields ignored", "version_file 5\n./a h1 x y\n./b h2\n",
       "E(./a,h1) E(./b,h2) END DONE"},
      {"carriage returns", "version_file 5\r\n./a h1\r\n",
       "E(./a,h1) END DONE"},
      {"tabs separate", "version_file 5\n./a\th1\n", "E(./a,h1) END DONE"},
      {"first line is always the header", "./a h1\n./b h2\n",
       "E(./b,h2) END DONE"},
      {"field of 255 characters", "v 1\n./" + f255.substr(2) + " h\n",
       "E(./" + f255.substr(2) + ",h) END DONE"},
      {"field of 256 characters refused whole", "v 1\n" + f256 + " h\n./b h2\n",
       "MAL(field longer than 255 characters) E(./b,h2) END DONE"},
      {"overlong hash refused", "v 1\n./a " + f256 + "\n./b h2\n",
       "MAL(field longer than 255 characters) E(./b,h2) END DONE"},
      {"overlong header line",
       "version_file 5 " + std::string(300, 'x') + "\n./a h1\n",
       "MAL(line longer than 255 characters) E(./a,h1) END DONE"},
      {"overlong line end",
       "v 1\n./a h1 " + std::string(300, 'x') + "\n./b h2\n",
       "E(./a,h1) MAL(line longer than 255 characters) E(./b,h2) END DONE"},
      {"NUL byte in a field", "v 1\n" + nul + " h\n./b h2\n",
       "MAL(field holding a NUL byte) E(./b,h2) END DONE"},
      {"path without hash at the end", "v 1\n./a",
       "MAL(entry without a second field at the end of the file) DONE"},
      {"entries of many blocks", many, many_steps + "END DONE"},
  };
  const std::map<std::string, std::string> listed = {{"./a", "h1"},
                                                      {"./b", "other"}};
  for (const auto& c : cases) {
    EXPECT_EQ(Walk(c.text), c.steps) << c.name;
    EXPECT_EQ(KeptSteps(c.text), c.steps) << c.name;
    EXPECT_EQ(KeptSteps(c.text, &listed), c.steps) << c.name;
  }
}

TEST(ChecksumListReaderTest, KeptStepsReferToTheTextsOfAMapOfTheList) {
  const std::map<std::string, std::string> listed = {{"./a", "h1"},
                                                      {"./b", "other"}};
  TempDir dir;
  WriteFile(dir / "list.txt", "version_file 5\n./a h1\n./b h2\n./c h3\n");
  File file(std::fopen((dir / "list.txt").c_str(), "r"));
  const ListSteps steps = ReadListSteps(file.get(), &listed);
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].path().data(), listed.find("./a")->first.data());
  EXPECT_EQ(steps[0].hash().data(), listed.at("./a").data());
  EXPECT_EQ(steps[1].path().data(), listed.find("./b")->first.data());
  EXPECT_EQ(steps[1].hash(), "h2");
  EXPECT_EQ(steps[2].path(), "./c");
  EXPECT_EQ(steps[3].read(), ListRead::kEndAfterLineEnd);
}

TEST(ChecksumListReaderTest, ReportsFieldsReadAndLastLine) {
  TempDir dir;
  WriteFile(dir / "list.txt", "version_file 7\n./a h1\n");
  File file(std::fopen((dir / "list.txt").c_str(), "r"));
  ChecksumListReader reader(file.get());
  std::string a, b;
  ASSERT_EQ(reader.ReadFields(a, b), ListRead::kEntry);
  EXPECT_EQ(a, "version_file");
  EXPECT_EQ(b, "7");
  EXPECT_EQ(reader.fields_read(), 2);
  ASSERT_EQ(reader.Next(a, b), ListRead::kEntry);  // consumes "\n" first
  EXPECT_EQ(reader.last_line(), "\n");
  EXPECT_EQ(reader.Next(a, b), ListRead::kEndAfterLineEnd);
  EXPECT_EQ(reader.fields_read(), -1);
  EXPECT_EQ(reader.Next(a, b), ListRead::kEndWithoutLineEnd);
}

TEST(ChecksumListWriterTest, WritesHeaderAndEntries) {
  TempDir dir;
  ChecksumListWriter writer;
  ASSERT_EQ(writer.Open((dir / "v.txt").c_str()), 0);
  writer.WriteHeader(123456);
  writer.WriteEntry("./Base/a.png", "0123456789abcdef0123456789abcdef");
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(ReadFile(dir / "v.txt"),
            "version_file 123456\n./Base/a.png "
            "0123456789abcdef0123456789abcdef\n");
}

TEST(ChecksumListWriterTest, AttachedStreamStaysWithTheCaller) {
  TempDir dir;
  FILE* stream = std::fopen((dir / "v.txt").c_str(), "w");
  ASSERT_NE(stream, nullptr);
  {
    ChecksumListWriter writer;
    writer.Attach(stream);
    writer.WriteHeader(7);
    EXPECT_TRUE(writer.Close());
  }
  // Neither Close nor the destructor closed it.
  EXPECT_GT(std::fputs("./a b\n", stream), 0);
  ASSERT_EQ(std::fclose(stream), 0);
  EXPECT_EQ(ReadFile(dir / "v.txt"), "version_file 7\n./a b\n");
  // A writer attached to no stream reports failure.
  ChecksumListWriter writer;
  writer.Attach(nullptr);
  writer.WriteHeader(7);
  EXPECT_FALSE(writer.Close());
}

TEST(ChecksumListWriterTest, ReturnsErrorNumberWhenTargetCannotBeOpened) {
  TempDir dir;
  ChecksumListWriter writer;
  EXPECT_EQ(writer.Open(dir.path().c_str()), EISDIR);
  WriteFile(dir / "file", "x");
  EXPECT_EQ(writer.Open((dir / "file/below").c_str()), ENOTDIR);
}

// A checksum list starts with "version_file" and its key, a signed decimal
// integer; anything else is not a list.
TEST(ChecksumListHeaderTest, IsTheKeywordAndANumber) {
  const struct {
    const char* text;
    bool list;
  } cases[] = {
      {"version_file 4242\n./a h\n", true},
      {"version_file 0\n", true},
      {"version_file -17\n", true},
      {"version_file +5", true},
      {"version_file\n12\n", true},  // fields are read across lines
      {"version_file 12 trailing words\n", true},
      {"", false},
      {"version_file\n", false},
      {"version_file abc\n./a h\n", false},
      {"version_file 12abc\n", false},
      {"version_file 0x10\n", false},
      {"version_file -\n", false},
      {"version_file 1.5\n", false},
      {"Version_file 12\n", false},
      {"<html> 12\n", false},
  };
  TempDir dir;
  const std::string path = dir / "list.txt";
  for (const auto& c : cases) {
    WriteFile(path, c.text);
    EXPECT_EQ(HasChecksumListHeader(path.c_str()), c.list) << c.text;
  }
  EXPECT_FALSE(HasChecksumListHeader((dir / "missing").c_str()));
}

TEST(VersionKeyTest, LiesInRangeAndRepeatsWithinOneSecond) {
  for (int i = 0; i < 50; ++i) {
    std::time_t before = std::time(nullptr);
    long first = MakeVersionKey();
    long second = MakeVersionKey();
    std::time_t after = std::time(nullptr);
    EXPECT_GE(first, 1000);
    EXPECT_LE(first, 12600995);
    if (before == after) {
      EXPECT_EQ(first, second);
    }
  }
}

}  // namespace
