// Detached list signatures: verification against keys and signatures made by
// the openssl tool, signing as the openssl tool does, and the update run with
// a trusted key.
#include "update/list_signature.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "engine/md5.h"
#include "engine/sha256.h"
#include "http/curl_client.h"
#include "patch/file_patch.h"
#include "support/child_process.h"
#include "support/list_signing.h"
#include "support/published_release.h"
#include "support/random_bytes.h"
#include "support/temp_dir.h"
#include "support/text_match.h"
#include "update_run_fixture.h"

namespace {

constexpr char kList[] =
    "version_file 4242\n./Base/a.png 0123456789abcdef0123456789abcdef\n";

ListSigningKey TestKey() { return {ReadFile(TestPublicKeyPath())}; }

// `text` with its byte at `at` changed.
std::string WithByteChanged(std::string text, std::size_t at) {
  text[at] = static_cast<char>(text[at] ^ 0x01);
  return text;
}

// `files` with `path` holding `content`.
std::map<std::string, std::string> With(std::map<std::string, std::string> files,
                                        const std::string& path,
                                        const std::string& content) {
  files[path] = content;
  return files;
}

// `files` without `path`.
std::map<std::string, std::string> Without(
    std::map<std::string, std::string> files, const std::string& path) {
  files.erase(path);
  return files;
}

// A list and its signature in a temporary directory, and a second key pair.
class ListSignatureTest : public ::testing::Test {
 protected:
  ListSignatureTest() : other_(MakeKeyPair(dir_.path(), "other")) {}

  TempDir dir_;
  KeyPairFiles other_;
  const std::string list_ = dir_ / "version.txt";
  const std::string signature_ = list_ + ".sig";
};

TEST_F(ListSignatureTest, OnlyTheKeysSignatureOfTheExactBytesIsValid) {
  const struct {
    const char* name;
    // Changes the list or the signature after both were made.
    std::function<void()> change;
    ListSignature expected;
  } cases[] = {
      {"as signed", [] {}, ListSignature::kValid},
      {"one byte of the list changed",
       [&] { WriteFile(list_, WithByteChanged(kList, 30)); },
       ListSignature::kWrong},
      {"a line feed appended to the list",
       [&] { WriteFile(list_, kList + std::string("\n")); },
       ListSignature::kWrong},
      {"signature of another list",
       [&] {
         WriteFile(dir_ / "other.txt", "version_file 4243\n");
         ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), dir_ / "other.txt",
                                   signature_),
                   0);
       },
       ListSignature::kWrong},
      {"signature by another key",
       [&] { ASSERT_EQ(SignWithOpenssl(other_.private_key, list_), 0); },
       ListSignature::kWrong},
      {"signature missing", [&] { std::remove(signature_.c_str()); },
       ListSignature::kMissing},
      {"empty signature", [&] { WriteFile(signature_, ""); },
       ListSignature::kUnreadable},
      {"signature cut to 63 bytes",
       [&] { WriteFile(signature_, ReadFile(signature_).substr(0, 63)); },
       ListSignature::kUnreadable},
      {"line feed after the signature",
       [&] { WriteFile(signature_, ReadFile(signature_) + "\n"); },
       ListSignature::kUnreadable},
      {"signature in base64",
       [&] {
         ASSERT_EQ(RunShell("openssl base64 -in '" + signature_ + "' -out '" +
                            signature_ + ".b64' && mv '" + signature_ +
                            ".b64' '" + signature_ + "'"),
                   0);
       },
       ListSignature::kUnreadable},
      {"signature is a directory",
       [&] {
         std::remove(signature_.c_str());
         ASSERT_EQ(mkdir(signature_.c_str(), 0755), 0);
       },
       ListSignature::kUnreadable},
      {"list missing", [&] { std::remove(list_.c_str()); },
       ListSignature::kWrong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunShell("rm -rf '" + signature_ + "'");
    WriteFile(list_, kList);
    ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), list_), 0);
    c.change();
    EXPECT_EQ(VerifyListSignature(list_, signature_, TestKey()), c.expected);
  }
}

TEST_F(ListSignatureTest, KeyThatIsNoEd25519PublicKeyVerifiesNothing) {
  WriteFile(list_, kList);
  ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), list_), 0);
  ASSERT_EQ(
      RunShell("openssl genpkey -algorithm EC -pkeyopt "
               "ec_paramgen_curve:P-256 -out '" +
               dir_ / "ec.pem" + "' && openssl pkey -in '" + dir_ / "ec.pem" +
               "' -pubout -out '" + dir_ / "ec.pub.pem" + "'"),
      0);
  const std::string pem = ReadFile(TestPublicKeyPath());
  const struct {
    const char* name;
    std::string key;
  } cases[] = {
      {"empty", ""},
      {"text", "not a key\n"},
      {"cut short", pem.substr(0, pem.size() - 40)},
      {"the private key", ReadFile(TestPrivateKeyPath())},
      {"a P-256 public key", ReadFile(dir_ / "ec.pub.pem")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VerifyListSignature(list_, signature_, {c.key}),
              ListSignature::kUnusableKey);
  }
}

TEST_F(ListSignatureTest, SignsExactlyAsTheOpensslToolDoes) {
  WriteFile(list_, kList);
  std::string signature, error;
  ASSERT_TRUE(SignListFile(TestPrivateKeyPath(), list_, signature, error))
      << error;
  EXPECT_EQ(signature.size(), kListSignatureSize);
  // Ed25519 signatures are deterministic: the same key and bytes give the
  // same signature.
  ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), list_), 0);
  EXPECT_EQ(signature, ReadFile(signature_));
  WriteFile(signature_, signature);
  EXPECT_EQ(VerifyListSignature(list_, signature_, TestKey()),
            ListSignature::kValid);
}

TEST_F(ListSignatureTest, SigningRefusesWhatItCannotUse) {
  WriteFile(list_, kList);
  ASSERT_EQ(RunShell("openssl genpkey -algorithm EC -pkeyopt "
                     "ec_paramgen_curve:P-256 -out '" +
                     dir_ / "ec.pem" + "'"),
            0);
  const struct {
    const char* name;
    std::string key;
    std::string list;
    const char* error;
  } cases[] = {
      {"no key file", dir_ / "absent.pem", list_,
       "cannot read the private key file"},
      {"a public key", TestPublicKeyPath(), list_,
       "no private key in PEM form (or a wrong passphrase)"},
      {"a P-256 key", dir_ / "ec.pem", list_, "not an Ed25519 key"},
      {"no list", TestPrivateKeyPath(), dir_ / "absent.txt",
       "cannot read the list"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string signature = "untouched", error;
    EXPECT_FALSE(SignListFile(c.key, c.list, signature, error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(signature, "untouched");
  }
}

// The update run with a trusted key, against a release on 127.0.0.1.
class SignedListRunTest : public UpdateRunFixture {
 protected:
  // Publishes `files` under `key` and signs the list with the test key.
  void PublishSigned(const std::map<std::string, std::string>& files,
                     long key) {
    Publish(files, key);
    ASSERT_EQ(SignWithOpenssl(TestPrivateKeyPath(), ListPath()), 0);
  }
  std::string ListPath() const { return ReleasePath("App/version.txt"); }
  std::string SignaturePath() const { return ListPath() + ".sig"; }
  RunOutcome RunTrusting(const std::string& pem) {
    return Run("App/autoupdate.cfg", ListSigningKey{pem});
  }
  // Publishes the release statement of `terms` for the published list, and
  // the file table of `files`, signed with `key` by the openssl tool.
  void PublishStatement(const StatementTerms& terms,
                        const std::map<std::string, std::string>& files,
                        const std::string& key = TestPrivateKeyPath()) {
    const std::string table = ReleaseTableOf(files);
    WriteFile(ListPath() + ".files", table);
    WriteFile(ListPath() + ".release",
              SignStatementWithOpenssl(
                  key, StatementBodyOf(terms, ListText(), table),
                  outer_.path()));
  }
};

const std::map<std::string, std::string> kRelease = {
    {"Base/a.png", "png bytes"},
    {"data.bin", "data"},
};

TEST_F(SignedListRunTest, SignedListIsInstalled) {
  PublishSigned(kRelease, 4242);
  RunOutcome run = RunTrusting(TestKey().pem);
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(run.lasterror, "");
  EXPECT_TRUE(Contains(
      run.log,
      "Checksum list signature verified: Downloads/App/version.txt\n"));
  for (const auto& [path, content] : kRelease) EXPECT_EQ(Local(path), content);
  EXPECT_EQ(Local("App/version.txt"), ListText());
  EXPECT_EQ(Local("Downloads/App/version.txt.sig"), ReadFile(SignaturePath()));
  // The signature is checked on every run, also when the keys then match.
  run = RunTrusting(TestKey().pem);
  EXPECT_EQ(run.error, 0);
  EXPECT_TRUE(Contains(run.log, "Version file the same (key matches)\n"));
  EXPECT_EQ(Fetches("App/version.txt.sig"), 2);
}

TEST_F(SignedListRunTest, ListWithoutAValidSignatureTouchesNothing) {
  WriteLocal("App/version.txt", "version_file 77\n");
  WriteLocal("Base/a.png", "stale");         // listed: would be fetched
  WriteLocal("Base/old.png", "local data");  // unlisted: would be moved
  const std::string pem = TestKey().pem;
  const std::string refusing =
      "Refusing checksum list Downloads/App/version.txt: ";
  const std::string signature_url =
      "/10/" + std::string(kPlatform) + "App/version.txt.sig";
  const struct {
    const char* name;
    // Changes the published list or signature after both were made.
    std::function<void()> change;
    std::string trusted_key;
    std::string log_line;
  } cases[] = {
      {"one byte of the list changed",
       [&] { WriteFile(ListPath(), WithByteChanged(ListText(), 40)); }, pem,
       refusing + "signature wrong (does not verify the list)\n"},
      {"signature missing (404)", [&] { std::remove(SignaturePath().c_str()); },
       pem,
       refusing + "signature missing, " + app_.getUpdatePath() +
           "App/version.txt.sig not downloaded (err:22)\n"},
      {"signature missing, a valid one left under Downloads",
       [&] {
         WriteLocal("Downloads/App/version.txt.sig", ReadFile(SignaturePath()));
         std::remove(SignaturePath().c_str());
       },
       pem, refusing + "signature missing, "},
      {"empty signature", [&] { WriteFile(SignaturePath(), ""); }, pem,
       refusing + "signature unreadable (not a 64-byte Ed25519 signature)\n"},
      {"trusted key unusable", [] {}, "not a key\n",
       refusing + "the trusted key is not an Ed25519 public key\n"},
      // Past a signature's 64 bytes: cut there, or refused unread.
      {"signature without end",
       [&] { server_.SetReply(signature_url, HttpReply::Endless()); }, pem,
       refusing + "signature unreadable (not a 64-byte Ed25519 signature)\n"},
      {"signature of 65 bytes",
       [&] { WriteFile(SignaturePath(), std::string(65, 's')); }, pem,
       refusing + "signature unreadable (not a 64-byte Ed25519 signature)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PublishSigned(kRelease, 5000);
    server_.ClearReply(signature_url);
    c.change();
    const int requests_before = server_.TotalRequestCount();
    RunOutcome run;
    {
      // No file grows past a signature's bound and one read (the list and
      // the log stay below it): a write past it would fail the download.
      const ScopedFileSizeLimit limit(kListSignatureSize + CURL_MAX_WRITE_SIZE);
      ASSERT_TRUE(limit.ok());
      run = RunTrusting(c.trusted_key);
    }
    EXPECT_EQ(run.error, 1);
    EXPECT_EQ(run.lasterror, "Invalid signature of the checksum list");
    EXPECT_TRUE(Contains(run.log, c.log_line)) << run.log;
    EXPECT_FALSE(Contains(run.log, "signature verified"));
    // Nothing moved, hashed, fetched or installed: the list and its
    // signature were the only requests.
    EXPECT_FALSE(Contains(run.log, "Removing unused/moved files"));
    EXPECT_FALSE(Contains(run.log, "Hashing file"));
    EXPECT_EQ(server_.TotalRequestCount() - requests_before, 2);
    EXPECT_EQ(Local("Base/old.png"), "local data");
    EXPECT_EQ(Local("Base/a.png"), "stale");
    EXPECT_FALSE(LocalExists("data.bin"));
    EXPECT_EQ(Local("App/version.txt"), "version_file 77\n");
  }
  // Once the release is signed again, the next run installs it.
  server_.ClearReply(signature_url);
  PublishSigned(kRelease, 5001);
  RunOutcome run = RunTrusting(pem);
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Local("Base/a.png"), "png bytes");
  EXPECT_EQ(Local("old/Base/old.png"), "local data");
  EXPECT_EQ(Local("App/version.txt"), ListText());
}

// The release statement beside a signed list: a run takes the list only
// when the statement carries the key's signature, names the list, is not
// behind the release the game directory installed and has not expired;
// when the keys differ, the file table must be the one it names. Refused,
// nothing is touched; taken, the statement becomes the game directory's
// record of its release.
TEST_F(SignedListRunTest, ReleaseStatementsKeepTheInstalledReleaseFromGoingBack) {
  const long long issued = 1700000000;
  const long long day = 86400;
  const std::map<std::string, std::string> installed = {
      {"Base/a.png", "old png"}, {"data.bin", "old data"}};
  const std::string installed_list = ChecksumListOf(installed, 777);
  const std::string refusing =
      "Refusing checksum list Downloads/App/version.txt: ";
  const KeyPairFiles other = MakeKeyPair(outer_.path(), "other");
  const auto serve = [&](long long serial,
                         std::optional<long long> expires = std::nullopt) {
    PublishSigned(kRelease, 5001);
    PublishStatement({serial, "r" + std::to_string(serial), issued, expires},
                     kRelease);
  };
  const std::string table_url =
      "/10/" + std::string(kPlatform) + "App/version.txt.files";
  // The table answered gzipped (made by GNU gzip), as a server that
  // compresses it sends it, with `padding` line feeds after it.
  const auto serve_gzipped = [&](std::size_t padding) {
    serve(6);
    const std::string plain = outer_ / "table";
    WriteFile(plain, ReadFile(ListPath() + ".files") + std::string(padding, '\n'));
    ASSERT_EQ(RunShell("gzip -n -f '" + plain + "'"), 0);
    HttpReply reply = HttpReply::Ok(ReadFile(plain + ".gz"));
    // Padded, it still arrives in fewer bytes than the table: what is cut
    // is the decoded body.
    if (padding > 0) {
      ASSERT_LT(reply.body.size(), ReadFile(ListPath() + ".files").size());
    }
    reply.headers.emplace_back("Content-Encoding", "gzip");
    server_.SetReply(table_url, reply);
  };
  const struct {
    const char* name;
    std::function<void()> serve;
    bool has_record = true;
    long long now = issued;
    bool allow_expired = false;
    bool installs = false;
    std::string log_line;
    // The serial the game directory's record holds afterwards (0: none).
    long long record_after = 5;
    int table_fetches = 0;
  } cases[] = {
      {"a newer release", [&] { serve(6); }, true, issued, false, true,
       "Release statement verified: release r6 (serial 6), issued "
       "2023-11-14 22:13:20 UTC, never expires\n",
       6, 1},
      {"an older release", [&] { serve(4); }, true, issued, false, false,
       refusing +
           "the release statement of release 4 is behind the installed "
           "release 5\n"},
      {"another list under the installed serial", [&] { serve(5); }, true,
       issued, false, false,
       refusing +
           "the release statement names another list under the same "
           "release 5\n"},
      {"the installed release again",
       [&] {
         PublishSigned(installed, 777);
         PublishStatement({5, "r5", issued, std::nullopt}, installed);
       },
       true, issued, false, false, "Version file the same (key matches)\n"},
      {"the installed list re-signed under a new serial",
       [&] {
         PublishSigned(installed, 777);
         PublishStatement({6, "r6", issued + day, issued + 8 * day},
                          installed);
       },
       true, issued + day, false, false,
       "Installed release r6 (serial 6) recorded in App/version.txt.release\n",
       6},
      {"expired 3 days ago", [&] { serve(6, issued + day); }, true,
       issued + 4 * day + 60, false, false,
       refusing +
           "the release statement expired 3 days ago (2023-11-15 22:13:20 "
           "UTC)\n"},
      {"expired, allowed for the run", [&] { serve(6, issued + day); }, true,
       issued + 4 * day, true, true,
       "Installing all the same: the release statement expired 3 days ago "
       "(2023-11-15 22:13:20 UTC), and STARTER_ALLOW_EXPIRED=1 allows it for "
       "this run\n",
       6, 1},
      {"no statement where one was installed",
       [&] {
         PublishSigned(kRelease, 5001);
         std::remove((ListPath() + ".release").c_str());
       },
       true, issued, false, false,
       refusing + "no release statement (" + app_.getUpdatePath() +
           "App/version.txt.release not downloaded (err:22)), but this game "
           "directory installed release 5 with one\n"},
      {"no statement and none installed",
       [&] {
         PublishSigned(kRelease, 5001);
         std::remove((ListPath() + ".release").c_str());
       },
       false, issued, false, true,
       "No release statement: " + app_.getUpdatePath() +
           "App/version.txt.release not downloaded (err:22)\n",
       0},
      {"a statement of another list",
       [&] {
         serve(6);
         PublishSigned(kRelease, 5002);
       },
       true, issued, false, false,
       refusing +
           "the release statement names another list (its size or SHA-256 "
           "differs)\n"},
      {"a statement signed by another key",
       [&] {
         PublishSigned(kRelease, 5001);
         PublishStatement({6, "r6", issued, std::nullopt}, kRelease,
                          other.private_key);
       },
       true, issued, false, false,
       refusing +
           "release statement signature wrong (does not verify the "
           "statement)\n"},
      {"a malformed statement",
       [&] {
         PublishSigned(kRelease, 5001);
         WriteFile(ListPath() + ".release", "release_statement 1\nserial x\n");
       },
       true, issued, false, false,
       refusing + "release statement malformed (line 2: serial expected)\n"},
      {"a file table other than the stated one",
       [&] {
         serve(6);
         WriteFile(ListPath() + ".files", ReleaseTableOf(installed));
       },
       true, issued, false, false,
       refusing +
           "release file table not the one the release statement names (its "
           "size or SHA-256 differs)\n",
       5, 1},
      {"no file table",
       [&] {
         serve(6);
         std::remove((ListPath() + ".files").c_str());
       },
       true, issued, false, false,
       refusing + "release file table missing, " + app_.getUpdatePath() +
           "App/version.txt.files not downloaded (err:22)\n",
       5, 1},
      // The table travels compressed where the server compresses it; its
      // size and SHA-256 are those of the decoded bytes.
      {"a newer release, its file table gzipped", [&] { serve_gzipped(0); },
       true, issued, false, true,
       "Release statement verified: release r6 (serial 6)", 6, 1},
      {"a gzipped file table that decodes past the stated size",
       [&] { serve_gzipped(1024); }, true, issued, false, false,
       refusing + "release file table missing, " + app_.getUpdatePath() +
           "App/version.txt.files not downloaded (err:63)\n",
       5, 1},
  };
  const std::string pem = TestKey().pem;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The game directory installed `installed` under serial 5, its
    // statement kept as a run keeps it.
    for (const auto& [path, content] : installed) WriteLocal(path, content);
    WriteLocal("App/version.txt", installed_list);
    std::remove((game_ + "/App/version.txt.release").c_str());
    if (c.has_record) {
      WriteLocal("App/version.txt.release",
                 SignStatementWithOpenssl(
                     TestPrivateKeyPath(),
                     StatementBodyOf({5, "r5", issued, std::nullopt},
                                     installed_list, ReleaseTableOf(installed)),
                     outer_.path()));
    }
    server_.ClearReply(table_url);
    c.serve();
    now_ = c.now;
    allow_expired_ = c.allow_expired;
    const int tables_before = Fetches("App/version.txt.files");
    const int files_before = Fetches("Base/a.png") + Fetches("data.bin");
    const RunOutcome run = RunTrusting(pem);
    EXPECT_TRUE(Contains(run.log, c.log_line)) << run.log;
    EXPECT_EQ(Fetches("App/version.txt.files") - tables_before,
              c.table_fetches);
    const bool refused = Contains(run.log, refusing);
    EXPECT_EQ(run.error, refused ? 1 : 0);
    EXPECT_EQ(run.lasterror, refused ? "Refused release statement" : "");
    const auto& expected = c.installs ? kRelease : installed;
    for (const auto& [path, content] : expected) {
      EXPECT_EQ(Local(path), content) << path;
    }
    EXPECT_EQ(Local("App/version.txt"), c.installs ? ListText() : installed_list);
    if (!c.installs) {
      EXPECT_EQ(Fetches("Base/a.png") + Fetches("data.bin"), files_before);
    }
    if (c.record_after == 0) {
      EXPECT_FALSE(LocalExists("App/version.txt.release"));
    } else {
      EXPECT_TRUE(Contains(Local("App/version.txt.release"),
                           "\nserial " + std::to_string(c.record_after) +
                               "\n"));
    }
    if (c.record_after == 6) {
      EXPECT_EQ(Local("App/version.txt.release"),
                ReadFile(ListPath() + ".release"));
    }
  }
  now_.reset();
  // Only the table is asked for compressed; the list, its signature, the
  // statement and the files are requested as always.
  for (const HttpRecordedRequest& request : server_.Requests()) {
    EXPECT_EQ(request.Header("Accept-Encoding"),
              request.path == table_url ? "gzip" : "")
        << request.path;
  }
}

// With a release statement, every listed file is held to its row of the
// file table as well as to its listed MD5, one transfer at a time and four
// in flight alike: a body longer than the row's size is cut at once, and
// said so (under a file size limit that a file grown much further would
// hit), a body whose MD5 matches but whose SHA-256 is not the row's is not
// installed, a listed path without a row is refused, and a file the table
// marks executable is installed so.
TEST_F(SignedListRunTest, FileTableBoundsChecksAndModesEveryListedFile) {
  const std::string big(12, 'B');
  const std::map<std::string, std::string> served = {
      {"Base/a.png", "png bytes"}, {"Base/big.bin", big}, {"data.bin", "data"},
      {"bin/tool", "new tool"},    {"bin/kept", "kept tool"}};
  const std::string url = "/10/linux32-dedicated-demo/";
  const struct {
    const char* name;
    // The files the table states, when they are not those served.
    std::map<std::string, std::string> stated;
    // The reply for Base/big.bin, when it is not the served file.
    std::optional<HttpReply> big_reply;
    std::set<std::string> executables = {};
    // The one failure of the run (its lasterror), and the lines it leaves
    // in the log and on the console.
    std::string lasterror = "";
    std::string log_line = "";
    std::string console_line = "";
  } cases[] = {
      {"endless body", served, HttpReply::Endless(), {},
       "Error downloading ./Base/big.bin",
       "Error downloading ./Base/big.bin\n",
       "CCurl: ./Base/big.bin is larger than the 12 bytes it may have\n"},
      {"body longer than its size", served, HttpReply::Oversized(1 << 20), {},
       "Error downloading ./Base/big.bin",
       "Error downloading ./Base/big.bin\n",
       "CCurl: ./Base/big.bin is larger than the 12 bytes it may have\n"},
      {"MD5 matches, SHA-256 differs",
       With(served, "data.bin", "DATA"), std::nullopt, {},
       "Error downloading ./data.bin", "Error downloading ./data.bin\n",
       "CCurl: SHA-256 mismatch for ./data.bin: expected " + Sha256Hex("DATA") +
           ", received " + Sha256Hex("data") + "\n"},
      {"a listed path without a row", Without(served, "Base/a.png"),
       std::nullopt, {}, "Refused listed path ./Base/a.png",
       "Refusing listed path ./Base/a.png: the release file table has no row "
       "for it\n"},
      {"executables", served, std::nullopt, {"bin/tool", "bin/kept"}},
  };
  const std::string pem = TestKey().pem;
  const mode_t umask_bits = umask(0);
  umask(umask_bits);
  const mode_t new_file = 0666 & ~umask_bits;
  long key = 6000;
  for (const auto& c : cases) {
    for (const std::size_t in_flight : {1, 4}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(in_flight) +
                   " in flight");
      for (const auto& [path, content] : served) {
        WriteLocal(path, "old " + path);
      }
      ASSERT_EQ(chmod((game_ + "/bin/kept").c_str(), 0640), 0);
      ASSERT_EQ(chmod((game_ + "/data.bin").c_str(), 0600), 0);
      ASSERT_EQ(unlink((game_ + "/bin/tool").c_str()), 0);
      WriteLocal("App/version.txt", "version_file 1\n");
      PublishSigned(served, ++key);
      const std::string table = ReleaseTableOf(c.stated, c.executables);
      WriteFile(ListPath() + ".files", table);
      WriteFile(ListPath() + ".release",
                SignStatementWithOpenssl(
                    TestPrivateKeyPath(),
                    StatementBodyOf({key, "r", 1700000000, std::nullopt},
                                    ListText(), table),
                    outer_.path()));
      server_.SetReply(url + "Base/big.bin",
                       c.big_reply.value_or(HttpReply::Ok(big)));
      const int a_fetches = Fetches("Base/a.png");
      RunOutcome run;
      std::string console;
      {
        // No body may grow past its size by more than one read, before its
        // turn or at it: a write past the largest file the run writes (the
        // log, with room for this run's lines) and one read fails it
        // (CURLE_WRITE_ERROR, no cut reported).
        const ScopedFileSizeLimit limit(Log().size() + 4096 +
                                        CURL_MAX_WRITE_SIZE);
        ASSERT_TRUE(limit.ok());
        testing::internal::CaptureStdout();
        run = Run("App/autoupdate.cfg", in_flight, ListSigningKey{pem});
        console = testing::internal::GetCapturedStdout();
      }
      EXPECT_EQ(run.lasterror, c.lasterror) << run.log;
      EXPECT_EQ(run.error, c.lasterror.empty() ? 0 : 1);
      EXPECT_TRUE(Contains(run.log, c.log_line)) << run.log;
      EXPECT_TRUE(Contains(console, c.console_line)) << console;
      for (const auto& [path, content] : served) {
        const bool failed = Contains(c.lasterror, "./" + path);
        EXPECT_EQ(Local(path), failed ? "old " + path : content) << path;
      }
      EXPECT_TRUE(PathsEndingIn(game_, ".tmp").empty());
      EXPECT_EQ(Local("App/version.txt") == ListText(), c.lasterror.empty());
      EXPECT_EQ(LocalExists("App/version.txt.release"), c.lasterror.empty());
      if (Contains(c.name, "row")) {
        EXPECT_EQ(Fetches("Base/a.png"), a_fetches);
      }
      const bool executables = !c.executables.empty();
      EXPECT_EQ(PermissionsOf(game_ + "/bin/tool"),
                executables ? 0700u : new_file);
      EXPECT_EQ(PermissionsOf(game_ + "/bin/kept"), executables ? 0740u : 0640u);
      EXPECT_EQ(PermissionsOf(game_ + "/data.bin"), 0600u);
      std::remove((game_ + "/App/version.txt.release").c_str());
    }
  }
}

// A changed file whose local copy has a patch to the listed bytes in the
// release's file table arrives as that patch, with a trusted key (the
// statement's table) and without (the table beside the list), one transfer
// at a time and four in flight alike: the patch alone is fetched (never the
// file ahead of its turn), from the file's server, naming the release; it
// is held to its row before it is decoded. Whatever fails about the patch,
// one log line says so and the whole file is fetched in the same run, and
// the run ends as it would have without the patch; an ignored file is
// neither patched nor fetched.
TEST_F(SignedListRunTest, ChangedFilesArriveAsPatchesOrElseWhole) {
  TempDir scratch;
  const std::string old_pak = RandomBytes(300000, 71);
  std::string new_pak = old_pak;
  new_pak.replace(1000, 4000, RandomBytes(4000, 72));
  new_pak += "appended";
  const std::map<std::string, std::string> served = {{"Base/a.pak", new_pak},
                                                     {"data.bin", "data"}};
  WriteFile(scratch / "old", old_pak);
  WriteFile(scratch / "new", new_pak);
  WriteFile(scratch / "other", RandomBytes(300000, 73));
  ASSERT_TRUE(
      MakePatch(scratch / "old", scratch / "new", scratch / "patch", 3).ok());
  ASSERT_TRUE(
      MakePatch(scratch / "old", scratch / "other", scratch / "to-other", 3)
          .ok());
  const std::string patch = ReadFile(scratch / "patch");
  ASSERT_LT(patch.size(), 10000u);
  std::string corrupt = patch;
  corrupt[patch.size() / 2] = static_cast<char>(corrupt[patch.size() / 2] ^ 1);
  // A frame of one empty block whose window is twice what the decoder takes.
  const std::string wide_window =
      std::string("\x28\xb5\x2f\xfd\x00", 5) +
      static_cast<char>((kPatchWindowLogMax - 9) << 3) +
      std::string("\x01\x00\x00", 3);
  const std::string patch_path =
      PatchTablePath(Md5Hex(old_pak.data(), old_pak.size()),
                     Md5Hex(new_pak.data(), new_pak.size()));
  const std::string patch_url = app_.getUpdatePath() + patch_path;
  const std::string not_patching = "Not patching ./Base/a.pak: ";
  const std::string whole = "; downloading the whole file\n";
  const struct {
    const char* name;
    // The local copy of Base/a.pak.
    std::string local;
    // What the server has at the patch's name (nothing when empty), or its
    // answer there.
    std::string patch;
    std::optional<HttpReply> reply;
    // The bytes the patch's row describes; no row when empty.
    std::string row;
    bool ignored = false;
    // The line the run logs about the file's patch; none when empty.
    std::string log_line = "";
    // Whether the release has a file table (and, keyed, a statement).
    bool table = true;
  } cases[] = {
      {"the patch", old_pak, patch, std::nullopt, patch, false,
       "./Base/a.pak arrived as a patch of " + std::to_string(patch.size()) +
           " bytes\n"},
      {"a locally modified copy", old_pak + "mine", patch, std::nullopt, patch},
      {"no row for the patch", old_pak, patch, std::nullopt, ""},
      {"the patch missing (404)", old_pak, "", std::nullopt, patch, false,
       not_patching + "its patch " + patch_url + " not downloaded (err:22)" +
           whole},
      {"other bytes than its row's", old_pak, corrupt, std::nullopt, patch,
       false,
       not_patching + "its patch " + patch_url +
           " is not the one the file table names (its SHA-256 differs)" +
           whole},
      {"corrupt, its row of its own bytes", old_pak, corrupt, std::nullopt,
       corrupt, false,
       not_patching + "the patch does not apply (patch corrupt"},
      {"a patch to other bytes", old_pak, ReadFile(scratch / "to-other"),
       std::nullopt, ReadFile(scratch / "to-other"), false,
       not_patching + "the patched file is not the listed one" + whole},
      {"more bytes than its row's", old_pak, "", HttpReply::Endless(), patch,
       false,
       not_patching + "its patch " + patch_url + " is larger than the " +
           std::to_string(patch.size()) + " bytes it may have" + whole},
      {"a window too large", old_pak, wide_window, std::nullopt, wide_window,
       false,
       not_patching + "the patch does not apply (patch window too large"},
      {"an ignored file", old_pak, patch, std::nullopt, patch, true,
       "Ignoring update to file Base/a.pak\n"},
      {"a release without a table", old_pak, patch, std::nullopt, patch, false,
       "", false},
  };
  const std::string pem = TestKey().pem;
  const std::string patch_request =
      "/10/" + std::string(kPlatform) + patch_path.substr(2);
  long key = 7000;
  for (const auto& c : cases) {
    for (const bool keyed : {true, false}) {
      for (const std::size_t in_flight : {1, 4}) {
        SCOPED_TRACE(std::string(c.name) + (keyed ? ", keyed, " : ", ") +
                     std::to_string(in_flight) + " in flight");
        WriteLocal("Base/a.pak", c.local);
        WriteLocal("data.bin", "old data");
        WriteLocal("autoupdate_ignore.cfg", c.ignored ? "Base/a.pak\n" : "");
        WriteLocal("App/version.txt", "version_file 1\n");
        std::remove((game_ + "/App/version.txt.release").c_str());
        PublishSigned(served, ++key);
        std::remove(ReleasePath(patch_path.substr(2)).c_str());
        if (!c.patch.empty())
          WriteFile(ReleasePath(patch_path.substr(2)), c.patch);
        server_.ClearReply(patch_request);
        if (c.reply) server_.SetReply(patch_request, *c.reply);
        const std::string rows = ReleaseTableOf(served);
        const std::string table =
            ReleaseTableHeader() +
            (c.row.empty() ? std::string()
                           : ReleaseTableLine(patch_path, c.row.size(),
                                              Sha256Hex(c.row), false)) +
            rows.substr(ReleaseTableHeader().size());
        WriteFile(ListPath() + ".files", table);
        std::remove((ListPath() + ".release").c_str());
        if (!c.table) std::remove((ListPath() + ".files").c_str());
        if (keyed && c.table) {
          WriteFile(ListPath() + ".release",
                    SignStatementWithOpenssl(
                        TestPrivateKeyPath(),
                        StatementBodyOf({key, "r", 1700000000, std::nullopt},
                                        ListText(), table),
                        scratch.path()));
        }
        const int patch_fetches = server_.RequestCount(patch_request);
        const int file_fetches = Fetches("Base/a.pak");
        const int table_fetches = Fetches("App/version.txt.files");
        const std::size_t requests_before = server_.Requests().size();
        testing::internal::CaptureStdout();
        const RunOutcome run =
            Run("App/autoupdate.cfg", in_flight,
                keyed ? ListSigningKey{pem} : ListSigningKey());
        const std::string console = testing::internal::GetCapturedStdout();

        EXPECT_EQ(run.error, 0) << run.log;
        EXPECT_EQ(run.lasterror, "");
        const bool patched = Contains(c.log_line, "arrived as a patch");
        // The patch is asked for when its row names the local copy's bytes.
        const bool asked =
            c.table && !c.row.empty() && !c.ignored && c.local == old_pak;
        EXPECT_EQ(server_.RequestCount(patch_request) - patch_fetches,
                  asked ? 1 : 0);
        EXPECT_EQ(Fetches("Base/a.pak") - file_fetches,
                  patched || c.ignored ? 0 : 1);
        EXPECT_TRUE(Local("Base/a.pak") == (c.ignored ? c.local : new_pak));
        EXPECT_EQ(Local("data.bin"), "data");
        EXPECT_EQ(Local("App/version.txt"), ListText());
        if (!c.log_line.empty()) {
          EXPECT_TRUE(Contains(run.log, c.log_line)) << run.log;
        }
        EXPECT_EQ(Contains(run.log, not_patching), asked && !patched)
            << run.log;
        EXPECT_EQ(Count(run.log, "arrived as a patch"), patched ? 1 : 0);
        // Without a key, the table is asked for once, for its patches alone
        // (the old copy of data.bin could have one), and logged when taken.
        EXPECT_EQ(Fetches("App/version.txt.files") - table_fetches,
                  keyed && !c.table ? 0 : 1);
        EXPECT_EQ(Contains(run.log, "Looking for patches in the file table " +
                                        app_.getUpdatePath() +
                                        "App/version.txt.files\n"),
                  !keyed && c.table)
            << run.log;
        EXPECT_FALSE(Contains(run.log, "Not looking for patches"));
        // The patch's transfer prints no line of a download, and the file's
        // lines are those of a download.
        EXPECT_FALSE(Contains(console, "Downloading " + patch_url)) << console;
        EXPECT_EQ(Count(console, "Downloading " + app_.getUpdatePath() +
                                     "./Base/a.pak...\n"),
                  c.ignored ? 0 : 1)
            << console;
        EXPECT_EQ(Count(console, "file ./Base/a.pak\n"), c.ignored ? 0 : 1);
        EXPECT_FALSE(Contains(console, "MD5 mismatch"));
        // (A keyed run reports the 404 of a missing statement so.)
        EXPECT_EQ(Contains(console, "CURL Error"), keyed && !c.table);
        const std::vector<HttpRecordedRequest> requests = server_.Requests();
        for (std::size_t r = requests_before; r < requests.size(); ++r) {
          if (requests[r].path != patch_request) continue;
          EXPECT_EQ(requests[r].Header(DownloadGet::kReleaseHeader),
                    Md5Hex(ListText().data(), ListText().size()));
        }
        EXPECT_TRUE(PathsEndingIn(game_, ".tmp").empty());
        EXPECT_TRUE(NamesIn(game_ + "/Downloads/.patches").empty());
      }
    }
  }
}

TEST_F(SignedListRunTest, WithoutATrustedKeySignaturesAreIgnored) {
  Publish(kRelease, 4242);
  WriteFile(SignaturePath(), "not a signature");
  // Nor release statements, whatever the game directory's record says.
  PublishStatement({1, "1", 1700000000, 1700000001}, kRelease);
  WriteLocal("App/version.txt.release", "a record of release 9\n");
  RunOutcome run = Run();
  EXPECT_EQ(run.error, 0);
  EXPECT_EQ(Fetches("App/version.txt.sig"), 0);
  EXPECT_EQ(Fetches("App/version.txt.release"), 0);
  EXPECT_EQ(Fetches("App/version.txt.files"), 0);
  EXPECT_EQ(Local("App/version.txt.release"), "a record of release 9\n");
  EXPECT_FALSE(Contains(run.log, "ignature"));
  EXPECT_EQ(Local("App/version.txt"), ListText());
  EXPECT_FALSE(LocalExists("Downloads/App/version.txt.sig"));
}

}  // namespace
