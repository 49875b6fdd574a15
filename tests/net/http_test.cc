// The metrics endpoint's HTTP request parser and response maker, on bytes.
#include "net/http.h"

#include <gtest/gtest.h>

#include <string>

namespace zt {
namespace {

struct ParseCase {
  const char* name;
  std::string bytes;
  HttpParse expected;
  const char* path = "";  // checked when expected is kRequest
  const char* query = "";
};

class HttpParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(HttpParseTest, Parses) {
  const ParseCase& c = GetParam();
  HttpRequest request;
  ASSERT_EQ(ParseHttpRequest(c.bytes, request), c.expected);
  if (c.expected != HttpParse::kRequest) return;
  EXPECT_EQ(request.path, c.path);
  EXPECT_EQ(request.query, c.query);
}

const std::string kLongHeader = "X-Pad: " + std::string(kMaxHttpRequestBytes, 'a') + "\r\n";

INSTANTIATE_TEST_SUITE_P(
    Requests, HttpParseTest,
    ::testing::Values(
        ParseCase{"Scrape",
                  "GET /metrics HTTP/1.1\r\nHost: x:9187\r\nAccept: text/plain;version=0.0.4;q=1,"
                  "*/*;q=0.1\r\nUser-Agent: Prometheus/2\r\n\r\n",
                  HttpParse::kRequest, "/metrics"},
        ParseCase{"Http10BareLf", "GET /health HTTP/1.0\n\n", HttpParse::kRequest, "/health"},
        ParseCase{"Query", "HEAD /metrics?x=1 HTTP/1.1\r\n\r\n", HttpParse::kRequest, "/metrics",
                  "x=1"},
        ParseCase{"ZeroContentLength", "GET / HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
                  HttpParse::kRequest, "/"},
        ParseCase{"TrailingBytesAfterHead", "GET /a HTTP/1.1\r\n\r\nGET /b", HttpParse::kRequest,
                  "/a"},
        // Waits for the rest, but only while what came could still be one.
        ParseCase{"Empty", "", HttpParse::kNeedMore},
        ParseCase{"HalfMethod", "GE", HttpParse::kNeedMore},
        ParseCase{"NoEmptyLineYet", "GET /metrics HTTP/1.1\r\nHost: x\r\n", HttpParse::kNeedMore},
        // Refused at once, before any line end.
        ParseCase{"TlsHello", std::string("\x16\x03\x01\x02\x00\x01", 6), HttpParse::kBad},
        ParseCase{"LowerCaseMethod", "get /metrics", HttpParse::kBad},
        ParseCase{"LongMethod", "ABCDEFGHIJKLMNOPQ", HttpParse::kBad},
        ParseCase{"LeadingSpace", " GET / HTTP/1.1\r\n\r\n", HttpParse::kBad},
        // Refused when the line is complete.
        ParseCase{"Garbage", "garbage\r\n\r\n", HttpParse::kBad},
        ParseCase{"NoVersion", "GET /metrics\r\n\r\n", HttpParse::kBad},
        ParseCase{"Http2", "GET /metrics HTTP/2.0\r\n\r\n", HttpParse::kBad},
        ParseCase{"AbsoluteTarget", "GET http://x/metrics HTTP/1.1\r\n\r\n", HttpParse::kBad},
        ParseCase{"TwoSpaces", "GET  /metrics HTTP/1.1\r\n\r\n", HttpParse::kBad},
        ParseCase{"ControlInTarget", "GET /a\x01 HTTP/1.1\r\n\r\n", HttpParse::kBad},
        ParseCase{"HeaderWithoutColon", "GET / HTTP/1.1\r\nHost x\r\n\r\n", HttpParse::kBad},
        ParseCase{"HeaderNameWithSpace", "GET / HTTP/1.1\r\nHo st: x\r\n\r\n", HttpParse::kBad},
        ParseCase{"FoldedHeader", "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", HttpParse::kBad},
        // A POST's body, whole, within its bound; no other method has one.
        ParseCase{"PostBody", "POST /api/edit HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
                  HttpParse::kRequest, "/api/edit"},
        ParseCase{"PostBodyNotYetIn", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhel",
                  HttpParse::kNeedMore},
        ParseCase{"GetWithBody", "GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
                  HttpParse::kBad},
        ParseCase{"PostBodyOverTheBound",
                  "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxHttpBodyBytes + 1) +
                      "\r\n\r\n",
                  HttpParse::kBad},
        ParseCase{"TwoLengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\na",
                  HttpParse::kBad},
        ParseCase{"SignedLength", "POST / HTTP/1.1\r\nContent-Length: +1\r\n\r\na",
                  HttpParse::kBad},
        ParseCase{"Chunked", "POST / HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n",
                  HttpParse::kBad},
        // Limits: an over-long head is refused whether or not it ends.
        ParseCase{"LongUnfinishedHeader", "GET / HTTP/1.1\r\n" + kLongHeader.substr(0, 9000),
                  HttpParse::kBad},
        ParseCase{"LongFinishedHead", "GET / HTTP/1.1\r\n" + kLongHeader + "\r\n",
                  HttpParse::kBad},
        ParseCase{"LongTarget", "GET /" + std::string(kMaxHttpTarget, 'a') + " HTTP/1.1\r\n\r\n",
                  HttpParse::kBad}),
    [](const ::testing::TestParamInfo<ParseCase>& param) { return std::string(param.param.name); });

TEST(HttpParse, AHeadOfExactlyTheLimitIsAcceptedAndOneByteMoreIsNot) {
  const auto head_of = [](size_t size) {
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    return start + std::string(size - start.size() - 4, 'a') + "\r\n\r\n";
  };
  HttpRequest request;
  EXPECT_EQ(ParseHttpRequest(head_of(kMaxHttpRequestBytes), request), HttpParse::kRequest);
  EXPECT_EQ(ParseHttpRequest(head_of(kMaxHttpRequestBytes + 1), request), HttpParse::kBad);
}

TEST(HttpParse, KeepsHeadersAndTheBody) {
  HttpRequest request;
  ASSERT_EQ(ParseHttpRequest("POST /x HTTP/1.1\r\ncookie:  a=b \r\nContent-Length: 3\r\n\r\nq=1",
                             request),
            HttpParse::kRequest);
  EXPECT_EQ(request.Header("Cookie"), "a=b");
  EXPECT_EQ(request.Header("X-None"), "");
  EXPECT_EQ(request.body, "q=1");
}

TEST(HttpResponse, HasStatusLengthAndCloseAndHeadOmitsTheBody) {
  EXPECT_EQ(HttpResponse(503, "text/plain", "down\n"),
            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\ndown\n");
  EXPECT_EQ(HttpResponse(200, "text/plain", "ok\n", /*head=*/true),
            "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Type: text/plain\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n");
}

}  // namespace
}  // namespace zt
