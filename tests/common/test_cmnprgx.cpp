#include "common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

// Sets (or with null unsets) an environment variable until the end of the scope.
struct ScopedEnv {
  ScopedEnv(const char *name, const char *value) : name(name), had(getenv(name) != nullptr) {
    if (had) old = getenv(name);
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { had ? setenv(name, old.c_str(), 1) : unsetenv(name); }
  const char *name;
  bool had;
  std::string old;
};

struct Node { Node *next; int value; };
struct Node2 { Node2 *next; Node2 *child; int value; };

TEST(CmnLink, InsertAppendRemoveAndEntries) {
  Node *head = nullptr;
  for (int v : {1, 2, 3}) static_cast<Node *>(CmnLinkAppend(&head, sizeof(Node)))->value = v;
  static_cast<Node *>(CmnLinkInsert(&head, sizeof(Node), 0))->value = 0;
  static_cast<Node *>(CmnLinkInsert(&head, sizeof(Node), 2))->value = 15;
  static_cast<Node *>(CmnLinkInsert(&head, sizeof(Node), 99))->value = 4;
  std::string order;
  for (Node *n = head; n; n = n->next) order += std::to_string(n->value) + " ";
  EXPECT_EQ(order, "0 1 15 2 3 4 ");

  CmnLinkRemove(&head, 0);
  CmnLinkRemove(&head, 1);
  CmnLinkRemove(&head, 4);  // past the end: nothing happens
  EXPECT_EQ(CmnLinkCount(head), 4);
  EXPECT_EQ(CmnLinkGetEntry(&head, 0), static_cast<void *>(&head));  // the anchor
  EXPECT_EQ(static_cast<Node *>(CmnLinkGetEntry(&head, 2))->value, 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(CmnLinkGetEntry(&head, 5), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("CmnLinkGetEntry: OUT OF RANGE, ptr:"),
            std::string::npos);
  CmnLinkFree(&head);
  EXPECT_EQ(head, nullptr);

  testing::internal::CaptureStderr();
  EXPECT_EQ(CmnLink2GetEntry(&head, 0), nullptr);  // any index on an empty list
  EXPECT_NE(testing::internal::GetCapturedStderr().find("entry:0\n(called from CmnLink2GetEntry)\n"),
            std::string::npos);
}

TEST(CmnLink2, RemovingANodeFreesItsChildren) {
  // A leak shows under the sanitizer build.
  Node2 *head = nullptr;
  for (int v = 0; v < 3; v++) {
    Node2 *n = static_cast<Node2 *>(CmnLink2Append(&head, sizeof(Node2)));
    n->value = v;
    for (int c = 0; c < 2; c++)
      CmnLink2Append(&static_cast<Node2 *>(CmnLink2Append(&n->child, sizeof(Node2)))->child,
                     sizeof(Node2));
  }
  CmnLink2Remove(&head, 1);
  ASSERT_EQ(CmnLink2Count(head), 2);
  EXPECT_EQ(head->next->value, 2);
  EXPECT_EQ(CmnLink2Count(head->child), 2);
  CmnLink2Free(&head);
  EXPECT_EQ(head, nullptr);
}

TEST(CmnParse, WordsQuotesAndEscapes) {
  const char *text = "   \"a b\\tc\"d  next \"\" \\101\\7x\\q\\\\\\\"  ";
  char word[64];
  const char *p = CmnParse(text, word);
  EXPECT_STREQ(word, "a b\tcd");
  p = CmnParse(p, word);
  EXPECT_STREQ(word, "next");
  p = CmnParse(p, word);
  EXPECT_STREQ(word, "");
  EXPECT_EQ(*p, ' ');  // right after the two quotes
  p = CmnParse(p, word);
  EXPECT_STREQ(word, "A\ax" "q\\\"");
  p = CmnParse(p, word);
  EXPECT_STREQ(word, "");
  EXPECT_EQ(*p, '\0');

  const char *trailing = "ab\\";  // the backslash must not lead past the end
  EXPECT_EQ(CmnParse(trailing, word), trailing + 3);
  EXPECT_STREQ(word, "ab");
  EXPECT_EXIT(CmnParse("x", nullptr), testing::ExitedWithCode(1),
              "Internal error: CmnParse called with NULL buffer");
}

TEST(CmnFindProgram, SearchesPathInOrder) {
  char tmpl[] = "/tmp/cmnprgxXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  for (const char *d : {"/a", "/b", "/c", "/a/dir"}) mkdir((root + d).c_str(), 0755);
  for (const char *f : {"/a/tool", "/b/tool", "/c/tool"}) fclose(fopen((root + f).c_str(), "w"));
  chmod((root + "/b/tool").c_str(), 0755);
  chmod((root + "/c/tool").c_str(), 0755);  // a/tool stays without execute permission

  {
    ScopedEnv path("PATH", ("::" + root + "/a:" + root + "/b:" + root + "/c").c_str());
    char found[256], small[6];
    ASSERT_EQ(CmnFindProgram("tool", found, sizeof found), 1);
    EXPECT_EQ(std::string(found), root + "/b/tool");
    ASSERT_EQ(CmnFindProgram("tool", small, sizeof small), 1);
    EXPECT_EQ(std::string(small), root.substr(0, 5));
    EXPECT_EQ(CmnFindProgram("missing", found, sizeof found), 0);
    EXPECT_EQ(CmnFindProgram("dir", found, sizeof found), 0);
    EXPECT_EQ(CmnFindProgram("", found, sizeof found), 0);
  }
  {
    ScopedEnv path("PATH", nullptr);
    EXPECT_EQ(CmnFindProgram("tool", nullptr, 0), 0);
    EXPECT_EQ(CmnFindProgram((root + "/c/tool").c_str(), nullptr, 0), 1);
    EXPECT_EQ(CmnFindProgram((root + "/a/tool").c_str(), nullptr, 0), 0);
  }
  EXPECT_EQ(system(("rm -rf " + root).c_str()), 0);
}

TEST(CmnGraphicsSize, RoundsUpToMultiplesOf300) {
  ScopedEnv scale("PVGSCALE", nullptr), minimum("PVGMINSIZE", nullptr);
  EXPECT_EQ(CmnGraphicsSize(0, 0), 1500);
  EXPECT_EQ(CmnGraphicsSize(1072, 0), 1500);
  EXPECT_EQ(CmnGraphicsSize(0, 1073), 1800);
  EXPECT_EQ(CmnGraphicsSize(2000, 10), 3000);
  EXPECT_EQ(CmnGraphicsSize(INT32_MAX, 0), INT32_MAX / 300 * 300);  // no overflow

  setenv("PVGSCALE", "1", 1);
  setenv("PVGMINSIZE", "0", 1);  // reads as 0: the minimum is 300
  EXPECT_EQ(CmnGraphicsSize(7, 0), 300);  // 7 * 42 = 294
  EXPECT_EQ(CmnGraphicsSize(301, 0), 600);
  for (const char *below : {"0.05", "nan"}) {  // count as 1
    setenv("PVGSCALE", below, 1);
    EXPECT_EQ(CmnGraphicsSize(900, 0), 900) << below;
  }
  setenv("PVGSCALE", "2", 1);
  setenv("PVGMINSIZE", "2500", 1);
  EXPECT_EQ(CmnGraphicsSize(1000, 0), 2700);
  EXPECT_EQ(CmnGraphicsSize(1300, 0), 2700);
}

}  // namespace
