// CCurl::PostForm against a real server: login request, cookie engine and
// the options it leaves on the handle.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "http/curl_client.h"
#include "support/http_test_server.h"
#include "support/temp_dir.h"

namespace {

const char kUserAgent[] =
    "Mozilla/5.0 (Windows; U; Windows NT 5.0; en-US; rv:1.4) Gecko/20030624 "
    "Netscape/7.1 (ax)";

class PostFormTest : public ::testing::Test {
 protected:
  PostFormTest() {
    WriteFile(dir_ / "game/.keep", "");
    WriteFile(dir_ / "Downloads/.keep", "");
    cwd_.emplace(dir_ / "game");
    server_.SetHandler(
        "/login", [](const httplib::Request&, httplib::Response& response) {
          response.set_header("Set-Cookie", "session=abc123; Path=/");
          response.set_content("welcome\n", "text/plain");
        });
    server_.SetReply("/form", HttpReply::Ok("form accepted\n"));
  }

  // Runs PostForm with stdout captured (libcurl prints the answers there).
  std::string Post(CCurl& client, const std::string& form, const char* formdata,
                   const std::string& login, const char* loginfo) {
    testing::internal::CaptureStdout();
    client.PostForm(form.c_str(), formdata, login.c_str(), loginfo);
    return testing::internal::GetCapturedStdout();
  }

  TempDir dir_;
  HttpTestServer server_;
  std::optional<ScopedCwd> cwd_;
};

TEST_F(PostFormTest, LoginCookieGoesWithTheFormAndIsSaved) {
  {
    CCurl client;
    std::string out = Post(client, server_.Url("/form"), "a=1&b=2",
                           server_.Url("/login"), "user=x&pw=y");
    EXPECT_EQ(client.result, CURLE_OK);
    // Both answers reach standard output, the second with its header lines.
    EXPECT_NE(out.find("welcome\n"), std::string::npos);
    EXPECT_NE(out.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_NE(out.find("form accepted\n"), std::string::npos);
  }
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/login");
  EXPECT_EQ(requests[0].body, "user=x&pw=y");
  EXPECT_EQ(requests[0].Header("User-Agent"), kUserAgent);
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].path, "/form");
  EXPECT_EQ(requests[1].body, "a=1&b=2");
  EXPECT_EQ(requests[1].Header("User-Agent"), kUserAgent);
  EXPECT_NE(requests[1].Header("Cookie").find("session=abc123"),
            std::string::npos);
  // The jar is written back to the file the cookies are read from.
  std::string jar = ReadFile(dir_ / "Downloads/cookies.txt");
  EXPECT_NE(jar.find("session\tabc123"), std::string::npos) << jar;
}

TEST_F(PostFormTest, SavedCookiesGoWithTheLogin) {
  WriteFile(dir_ / "Downloads/cookies.txt",
            "127.0.0.1\tFALSE\t/\tFALSE\t0\tremembered\tyes\n");
  CCurl client;
  Post(client, server_.Url("/form"), "a=1", server_.Url("/login"), "u=1");
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].Header("Cookie").find("remembered=yes"),
            std::string::npos);
}

TEST_F(PostFormTest, WithoutLoginSendsOnlyTheForm) {
  CCurl client;
  Post(client, server_.Url("/form"), "a=1", "", "ignored");
  EXPECT_EQ(client.result, CURLE_OK);
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/form");
  EXPECT_EQ(requests[0].body, "a=1");
  EXPECT_EQ(requests[0].Header("User-Agent"), "");
  EXPECT_EQ(requests[0].Header("Cookie"), "");
}

TEST_F(PostFormTest, ErrorStatusOfTheFormIsTheResult) {
  server_.SetReply("/form", HttpReply::Status(500));
  CCurl client;
  Post(client, server_.Url("/form"), "a=1", server_.Url("/login"), "u=1");
  EXPECT_EQ(client.result, CURLE_HTTP_RETURNED_ERROR);
}

TEST_F(PostFormTest, NextDownloadInheritsThePostAndThenResets) {
  server_.SetReply("/10/a.txt", HttpReply::Ok("a"));
  CCurl client;
  Post(client, server_.Url("/form"), "a=1", "", "");
  testing::internal::CaptureStdout();
  const std::string base = server_.Url("/10/");
  client.DownloadFile(base.c_str(), "a.txt", "", 10);
  EXPECT_EQ(client.result, CURLE_OK);
  client.DownloadFile(base.c_str(), "a.txt", "", 10);
  EXPECT_EQ(client.result, CURLE_OK);
  testing::internal::GetCapturedStdout();
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[2].method, "GET");
  EXPECT_EQ(ReadFile("a.txt"), "a");
}

TEST_F(PostFormTest, ClientWithoutHandleFailsWithBadArgument) {
  CCurl client;
  curl_easy_cleanup(client.curl);
  client.curl = nullptr;
  Post(client, server_.Url("/form"), "a=1", server_.Url("/login"), "u=1");
  EXPECT_EQ(client.result, CURLE_BAD_FUNCTION_ARGUMENT);
  EXPECT_EQ(server_.TotalRequestCount(), 0);
}

}  // namespace
