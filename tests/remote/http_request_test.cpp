// parse_request and to_text: the request grammar and the exact response bytes.
#include <gtest/gtest.h>

#include "remote/micro_httpd.h"

namespace network {
namespace {

struct parsed {
  bool valid = false;
  std::string method;
  std::string path;
  header_map headers;
};

parsed parse(const std::string& text) {
  parsed result;
  result.valid = parse_request(text, result.method, result.path, result.headers);
  return result;
}

TEST(ParseRequest, AcceptsEveryMethodOfTheTable) {
  for (std::string_view method : kMethods) {
    parsed p = parse(std::string(method) + " /stats.json HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(p.valid) << method;
    EXPECT_EQ(p.method, method);
    EXPECT_EQ(p.path, "/stats.json");
    EXPECT_TRUE(p.headers.empty());
  }
}

TEST(ParseRequest, RejectsMethodsOutsideTheTable) {
  for (const char* line : {"get / HTTP/1.1", "Get / HTTP/1.1", "OPTIONS / HTTP/1.1",
                           "GETX / HTTP/1.1", "PATCH / HTTP/1.1"}) {
    parsed p = parse(std::string(line) + "\r\n\r\n");
    EXPECT_FALSE(p.valid) << line;
    EXPECT_EQ(p.method, "") << line;
  }
}

TEST(ParseRequest, RequiresPathAndVersionBeginningWithHttp) {
  EXPECT_FALSE(parse("GET\r\n\r\n").valid);
  EXPECT_FALSE(parse("GET /\r\n\r\n").valid);
  EXPECT_FALSE(parse("GET / HTTX/1.1\r\n\r\n").valid);
  EXPECT_FALSE(parse("GET / http/1.1\r\n\r\n").valid);
  EXPECT_FALSE(parse("").valid);
  EXPECT_FALSE(parse("\r\n\r\n").valid);
  // Only the first four characters of the version are examined; extra
  // pieces are ignored.
  EXPECT_TRUE(parse("GET / HTTP\r\n\r\n").valid);
  EXPECT_TRUE(parse("GET / HTTPS/9 trailing pieces\r\n\r\n").valid);
}

TEST(ParseRequest, SplitsTheRequestLineAtRunsOfSpacesAndTabs) {
  parsed p = parse("  HEAD \t\t /stats.json\t  HTTP/1.0 \r\n\r\n");
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.method, "HEAD");
  EXPECT_EQ(p.path, "/stats.json");
}

TEST(ParseRequest, KeepsThePathUndecodedWithItsQuery) {
  parsed p = parse("GET /a%20b/stats.json?x=1&y=%41 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.path, "/a%20b/stats.json?x=1&y=%41");
}

TEST(ParseRequest, DropsEmptyLinesAndAcceptsBareLineFeeds) {
  parsed p = parse("\r\n\nGET / HTTP/1.1\nHost: x\n\n");
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.path, "/");
  EXPECT_EQ(p.headers, (header_map{{"HOST", "x"}}));
}

TEST(ParseRequest, UpperCasesAndTrimsHeaderNamesAndTrimsValues) {
  parsed p = parse(
      "GET / HTTP/1.1\r\n"
      "Host: one\r\n"
      "  user-Agent \t:  probe/1.0 \t\r\n"
      "Referer: http://x:8080/a\r\n"
      "a line without colon\r\n"
      ": nameless\r\n"
      "hOsT: two\r\n"
      "\r\n");
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.headers, (header_map{{"", "nameless"},
                                   {"HOST", "two"},
                                   {"REFERER", "http://x:8080/a"},
                                   {"USER-AGENT", "probe/1.0"}}));
}

TEST(ParseRequest, ClearsHeadersLeftFromAnEarlierCall) {
  std::string method, path;
  header_map headers{{"OLD", "1"}};
  ASSERT_TRUE(parse_request("GET / HTTP/1.1\r\nNew: 2\r\n\r\n", method, path, headers));
  EXPECT_EQ(headers, (header_map{{"NEW", "2"}}));
}

TEST(ToText, NewRecordIsA404WithoutBody) {
  EXPECT_EQ(to_text(response_record{}),
            "HTTP/1.1 404 Not Found \r\nContent-Type: text/plain\r\n\r\n");
}

TEST(ToText, WritesTypeHeadersInByteOrderLengthAndBody) {
  response_record r;
  r.set_status(kStatusOk);
  r.content_type = "text/html";
  r.headers["b-header"] = "2";
  r.headers["Access-Control-Allow-Origin"] = "*";
  r.headers["X"] = "";
  r.body =
      "25\xc2\xb0"
      "C";  // 5 bytes, 4 characters
  EXPECT_EQ(to_text(r),
            "HTTP/1.1 200 OK \r\n"
            "Content-Type: text/html\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "X: \r\n"
            "b-header: 2\r\n"
            "Content-Length: 5\r\n"
            "\r\n"
            "25\xc2\xb0"
            "C");
}

TEST(ToText, LeavesOutAnEmptyContentType) {
  response_record r;
  r.set_status(kStatusNoContent);
  r.content_type.clear();
  EXPECT_EQ(to_text(r), "HTTP/1.1 204 No Content \r\n\r\n");
}

TEST(ToText, StatusTableMatchesTheServerVocabulary) {
  const std::string long_status = "HTTP/1.1 416 Requested Range Not Satisfiable \r\n";
  const std::string server_error = "HTTP/1.1 500 Internal Server Error \r\n";
  response_record r;
  r.set_status(kStatusRangeNotSatisfiable);
  EXPECT_EQ(to_text(r).substr(0, long_status.size()), long_status);
  r.set_status(kStatusInternalServerError);
  EXPECT_EQ(to_text(r).substr(0, server_error.size()), server_error);
  EXPECT_EQ(kStatusMovedPermanently.code, 301);
  EXPECT_EQ(kStatusNotModified.text, "Not Modified");
}

TEST(ListenPort, KeepsTheLow16Bits) {
  EXPECT_EQ(listen_port(7777), 7777);
  EXPECT_EQ(listen_port(70000), 4464);
  EXPECT_EQ(listen_port(65536), 0);
  EXPECT_EQ(listen_port(0xFFFFFFFF), 65535);
}

}  // namespace
}  // namespace network
