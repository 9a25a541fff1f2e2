#include "http/UHttpRequest.h"

#include <gtest/gtest.h>

TEST(HttpRequestTarget, DocumentPathAndQueryText) {
  struct {
    const char* target;
    const char* document;
    const char* query;
  } cases[] = {
      {"/make?a@b.c", "/make", "a@b.c"},
      {"/make", "/make", ""},
      {"/make?", "/make", ""},
      {"/make?a?b", "/make", "a?b"},
      {"/lo%67o.gif", "/lo%67o.gif", ""},           // no percent-decoding of the path
      {"\\sub\\logo.gif", "/sub/logo.gif", ""},      // backslashes become slashes
      {"/logo.gif#top", "/logo.gif", ""},
      {"/file#x?a@b.c", "/file", "a@b.c"},
      {"/make?a@b.c#x", "/make", "a@b.c#x"},         // the fragment stays in the query text
      {"http://example.org:8081/make?x", "/make", "x"},
      {"HTTPS://h/a/b", "/a/b", ""},
      {"http://example.org", "/", ""},
      {"http:\\\\h\\f.txt", "/f.txt", ""},
      {"make", "make", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(qm::HttpDocumentPath(c.target), c.document);
    EXPECT_EQ(qm::HttpQueryText(c.target), c.query);
  }
}

TEST(HttpRequestTarget, ParametersBodyFirstAndDecoded) {
  EXPECT_EQ(qm::HttpParamText("", ""), "");
  EXPECT_EQ(qm::HttpParamText("b", ""), "b");
  EXPECT_EQ(qm::HttpParamText("", "q"), "q");
  EXPECT_EQ(qm::HttpParamText("b", "q"), "b\r\nq");

  struct {
    const char* text;
    qm::TextList params;
  } cases[] = {
      {"", {}},
      {"a%40b.c", {"a@b.c"}},
      {"name=a@b.c&x", {"name=a@b.c", "x"}},
      {"a&&b&", {"a", "", "b", ""}},
      {"&a", {"", "a"}},
      {"a+b%2", {"a b%2"}},
      {"%zz%4", {"%zz%4"}},
      {"%C3%A4%2b%26", {"\xC3\xA4+&"}},
      {"b@x.y&z\r\nq@x.y", {"b@x.y", "z\r\nq@x.y"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(qm::HttpParams(c.text), c.params);
  }
}

TEST(HttpRequestTarget, ContainmentRefusesClimbingAndNul) {
  struct {
    std::string document;
    bool contained;
  } cases[] = {
      {"/logo.gif", true},
      {"/sub/a.txt", true},
      {"/..a/b..", true},
      {"/a%20b.txt", true},
      {"/", true},
      {"/../progstate.qms", false},
      {"/sub/../../x", false},
      {"..", false},
      {"/%2e%2e/x", false},
      {"/%2E%2e%2fx", false},
      {"/.%2e/x", false},
      {"/x%2f..%5cy", false},
      {"/a%5c..%5cb", false},
      {std::string("/a\0b", 4), false},
      {"/a%00.txt", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    EXPECT_EQ(qm::IsContainedDocumentPath(c.document), c.contained);
  }
}

TEST(HttpRequestTarget, HtmlEscape) {
  EXPECT_EQ(qm::HtmlEscapeText("a@b.c"), "a@b.c");
  EXPECT_EQ(qm::HtmlEscapeText("<script>&\""), "&lt;script&gt;&amp;\"");
}
