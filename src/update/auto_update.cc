#include "update/auto_update.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#include "engine/file_lock.h"
#include "engine_starter/application.h"
#include "http/curl_client.h"
#include "launcher/starter_shared_state.h"
#include "update/checksum_list.h"
#include "update/file_install.h"
#include "update/listed_path.h"
#include "update/tree_scan.h"
#include "update/unused_files.h"
#include "update/update_log.h"

namespace {

// Names an earlier replacement of executables and scripts may leave behind,
// removed in this order until the first that cannot be removed.
constexpr const char* kLeftoverNames[] = {
    "BM.exe.tmp2", "BM.exe.tmp", "BM.exe.bak", "BM.tmp",
    "DUdavi.tmp",  "BM.bak",     "sh.tmp"};

constexpr int kListTimeoutSecs = 9;
constexpr int kFileTimeoutSecs = 600;
// The name of a list's signature, beside the list on the server and under
// "Downloads/": the list's name with this suffix.
constexpr char kSignatureSuffix[] = ".sig";
constexpr char kInvalidSignature[] = "Invalid signature of the checksum list";

void RemoveLeftovers() {
  for (const char* name : kLeftoverNames) {
    if (std::remove(name) != 0) return;
  }
}

// Switches FileLock's open-failure messages off for its lifetime.
class QuietFileProbes {
 public:
  QuietFileProbes() { FileLock::reportError = false; }
  ~QuietFileProbes() { FileLock::reportError = true; }
  QuietFileProbes(const QuietFileProbes&) = delete;
  QuietFileProbes& operator=(const QuietFileProbes&) = delete;
};

bool IsIgnored(const std::vector<std::string>& ignoreFiles,
               const std::string& name) {
  for (const std::string& ignored : ignoreFiles) {
    if (ignored == name) return true;
  }
  return false;
}

}  // namespace

CAutoUpdate::CAutoUpdate(const char* versionfile, const char* filename,
                         const char* downloaddir, bool /*subdirs*/,
                         ListSigningKey trusted_key)
    : curlapi(std::make_unique<CCurl>()), trusted_key_(std::move(trusted_key)) {
  const std::string downloadfilename = std::string("Downloads/") + filename;
  RemoveLeftovers();
  LoadIgnoreLists(ignoreFiles);

  std::vector<std::string> urls;
  CApplication* app = CApplication::GetSingleton();
  if (app != nullptr) {
    urls.push_back(app->getUpdatePath());
  } else {
    // Without an update path the list's name alone would be taken for a
    // host name; there is nothing to fetch.
    lasterror = "Error downloading checksum";
    UpdateLog("No update path: no application object\n");
  }

  for (const std::string& entry : urls) {
    UpdateLog("Downloading checksums from %s%s\n", entry.c_str(), filename);
    curlapi->DownloadFile(entry.c_str(), filename, "Downloads",
                          kListTimeoutSecs);
    if (curlapi->result == CURLE_OK) {
      RunAfterListFetch(versionfile, filename, downloaddir, entry,
                        downloadfilename);
      return;
    }
    lasterror = "Error downloading checksum";
    UpdateLog("Error downloading checksum from %s%s (err:%i)\n", entry.c_str(),
              filename, static_cast<int>(curlapi->result));
  }
}

CAutoUpdate::~CAutoUpdate() {
  curlapi.reset();
  diskpairs.clear();
}

void CAutoUpdate::RunAfterListFetch(const char* versionfile,
                                    const char* filename,
                                    const char* downloaddir,
                                    const std::string& url,
                                    const std::string& downloadfilename) {
  StarterSharedState* starter = StarterSharedState::starter;
  if (!StarterAllowsWork()) {
    UpdateLog("User termination while version file download\n");
    return;
  }
  // A server that answers with an empty file or an error page must not make
  // the run relocate the data tree or install the page as the version file.
  if (!HasChecksumListHeader(downloadfilename.c_str())) {
    UpdateLog("Not a checksum list: %s (no version_file header)\n",
              downloadfilename.c_str());
    lasterror = "Invalid checksum list " + downloadfilename;
    error = 1;
    return;
  }
  if (!trusted_key_.empty() &&
      !ListSignatureHolds(url, filename, downloadfilename)) {
    return;
  }
  MoveUnusedFiles(downloadfilename.c_str(), "./Base");
  if (RandomKeyCheck(filename, "Downloads/") == 1) {
    UpdateLog("Version file the same (key matches)\n");
    return;
  }
  if (starter != nullptr) {
    starter->DrawMessage(
        L"Please wait a minute...\nDetermining which files to update...");
  }
  int code = CreateVersionFile(filename, downloaddir, downloadfilename);
  if (code != 0) {
    UpdateLog("Error creating version file %s (%i)\n", filename, code);
    lasterror = "Error creating checksum";
    error = 1;
    return;
  }
  if (versionfile == nullptr) {
    UpdateLog("Just versioning\n");
    return;
  }
  starter = StarterSharedState::starter;
  if (starter != nullptr && starter->device != nullptr &&
      !starter->MayContinue()) {
    return;
  }
  if (!CompareAndDownload(url, downloadfilename, downloaddir) || error != 0) {
    return;
  }
  if (std::remove(filename) != 0 && errno > ENOENT) {
    int err = errno;
    UpdateLog("Remove failed %s (err %i)\n", filename, err);
    lasterror = std::string("Error removing ") + filename;
    return;
  }
  errno = 0;
  if (!copyFile(downloadfilename.c_str(), filename, 0)) {
    int err = errno;
    UpdateLog("Copy file failed %s (err %i)\n", downloadfilename.c_str(), err);
    lasterror = "Error copying " + downloadfilename;
  }
}

bool CAutoUpdate::ListSignatureHolds(const std::string& url,
                                     const char* filename,
                                     const std::string& downloadfilename) {
  const std::string signature_name = std::string(filename) + kSignatureSuffix;
  curlapi->DownloadFile(url.c_str(), signature_name.c_str(), "Downloads",
                        kListTimeoutSecs);
  if (curlapi->result != CURLE_OK) {
    UpdateLog(
        "Refusing checksum list %s: signature missing, %s%s not "
        "downloaded (err:%i)\n",
        downloadfilename.c_str(), url.c_str(), signature_name.c_str(),
        static_cast<int>(curlapi->result));
  } else {
    const ListSignature verdict = VerifyListSignature(
        downloadfilename, "Downloads/" + signature_name, trusted_key_);
    if (verdict == ListSignature::kValid) {
      UpdateLog("Checksum list signature verified: %s\n",
                downloadfilename.c_str());
      return true;
    }
    UpdateLog("Refusing checksum list %s: %s\n", downloadfilename.c_str(),
              ListSignatureReason(verdict));
  }
  lasterror = kInvalidSignature;
  error = 1;
  return false;
}

bool CAutoUpdate::CompareAndDownload(const std::string& url,
                                     const std::string& downloadfilename,
                                     const char* downloaddir) {
  UpdateLog("\nComparing checksums\n");
  FileLock list(std::fopen(downloadfilename.c_str(), "r"));
  if (!list.isValid()) {
    lasterror = "Failed to open " + downloadfilename;
    UpdateLog("Failed to open - Invalid File %s\n", downloadfilename.c_str());
    error = 1;
    return false;
  }
  QuietFileProbes quiet;
  ChecksumListReader reader(list.get());
  ListedPathChecker checker;
  filemd5pair comparepair;
  std::string path, hash;
  for (;;) {
    UpdateGUI();
    ListRead read = reader.Next(path, hash);
    if (read == ListRead::kDone) break;
    if (read == ListRead::kEnd) continue;
    if (read == ListRead::kMalformed) {
      UpdateLog("Refusing malformed entry in %s: %s\n",
                downloadfilename.c_str(), reader.error().c_str());
      lasterror = "Malformed entry in " + downloadfilename;
      error = 1;
      continue;
    }
    ListedPath verdict = checker.Check(path);
    if (verdict != ListedPath::kInside) {
      UpdateLog("Refusing listed path %s: %s\n", path.c_str(),
                ListedPathReason(verdict));
      lasterror = "Refused listed path " + path;
      error = 1;
      continue;
    }
    std::string name = path.substr(2);
    if (IsIgnored(ignoreFiles, name) && fileExists(name.c_str())) {
      UpdateLog("Ignoring update to file %s\n", name.c_str());
      continue;
    }
    comparepair.filename = path;
    comparepair.md5 = hash;
    if (compareFilePair(&comparepair)) continue;
    if (DownloadFile(url.c_str(), path.c_str(), downloaddir, hash) != 0) {
      lasterror = "Error downloading " + path;
      UpdateLog("Error downloading %s\n", path.c_str());
      error = 1;
    }
  }
  return true;
}

int CAutoUpdate::DownloadFile(const char* urldir, const char* filename,
                              const char* /*downloaddir*/,
                              const std::string& expected_md5) {
  curlapi->DownloadFile(urldir, filename, "", kFileTimeoutSecs, expected_md5);
  if (curlapi->restartrequired) restartrequired = true;
  return static_cast<int>(curlapi->result);
}

void CAutoUpdate::UpdateGUI() {
  StarterSharedState* starter = StarterSharedState::starter;
  if (starter != nullptr && starter->device != nullptr) starter->device->run();
}

bool CAutoUpdate::compareFilePair(const filemd5pair* pair) const {
  return pair != nullptr && diskpairs.Contains(*pair);
}

int CAutoUpdate::SearchDirectory(std::vector<std::string>& refvecFiles,
                                 const std::string& refcstrRootDirectory,
                                 const std::string& refcstrExtension,
                                 bool bSearchSubdirectories,
                                 std::vector<std::string>& ignoreFiles) {
  return ::SearchDirectory(refvecFiles, refcstrRootDirectory, refcstrExtension,
                           bSearchSubdirectories, ignoreFiles);
}

int CAutoUpdate::MakeHash(const char* filename, std::string& hashstring) {
  return stdCalculateMD5(filename, hashstring) ? 1 : 0;
}

void CAutoUpdate::MoveUnusedFiles(const char* downloadfilename,
                                  const char* downloaddir) {
  ::MoveUnusedFiles(downloadfilename, downloaddir, ignoreFiles,
                    StandardFiles());
}

std::map<std::string, std::string>& CAutoUpdate::StandardFiles() {
  CApplication* app = CApplication::GetSingleton();
  return app != nullptr ? app->standardFiles : local_standard_;
}
