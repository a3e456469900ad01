// Lists, the quoted-word parser, the program search and the graphics size.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "common.h"
#include "runprog.h"

namespace {

// Sets (or with null unsets) an environment variable until the end of the scope.
struct ScopedEnv {
  ScopedEnv(const char *variable, const char *value)
      : name(variable), had(getenv(variable) != nullptr) {
    if (had) old = getenv(variable);
    value ? setenv(variable, value, 1) : unsetenv(variable);
  }
  ~ScopedEnv() { had ? setenv(name, old.c_str(), 1) : unsetenv(name); }
  const char *name;
  bool had;
  std::string old;
};

struct Node {
  Node *next;
  Node *child;
  int value;
};

std::string Values(Node *head) {
  std::string out;
  for (Node *n = head; n; n = n->next) out += std::to_string(n->value) + " ";
  return out;
}

TEST(CmnLink, InsertAppendRemoveAndEntries) {
  Node *head = nullptr;
  for (int v : {1, 2, 3}) static_cast<Node *>(CmnLinkAppend(&head, sizeof(Node)))->value = v;
  static_cast<Node *>(CmnLinkInsert(&head, sizeof(Node), 0))->value = 0;
  static_cast<Node *>(CmnLinkInsert(&head, sizeof(Node), 2))->value = 15;
  static_cast<Node *>(CmnLinkInsert(&head, sizeof(Node), 99))->value = 4;
  EXPECT_EQ(Values(head), "0 1 15 2 3 4 ");

  CmnLinkRemove(&head, 0);
  CmnLinkRemove(&head, 1);
  CmnLinkRemove(&head, 4);  // past the end: nothing happens
  EXPECT_EQ(Values(head), "1 2 3 4 ");
  EXPECT_EQ(CmnLinkGetEntry(&head, 0), static_cast<void *>(&head));  // the anchor
  EXPECT_EQ(static_cast<Node *>(CmnLinkGetEntry(&head, 2))->value, 2);
  testing::internal::CaptureStderr();  // out of range: null, and a note on standard error
  EXPECT_EQ(CmnLinkGetEntry(&head, 5), nullptr);
  CmnLinkFree(&head);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(CmnLink2GetEntry(&head, 0), nullptr);  // any index on an empty list
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

TEST(CmnLink2, RemovingANodeFreesItsChildren) {
  // A leak shows under the sanitizer build.
  Node *head = nullptr;
  for (int v = 0; v < 3; v++) {
    Node *n = static_cast<Node *>(CmnLink2Append(&head, sizeof(Node)));
    n->value = v;
    for (int c = 0; c < 2; c++)
      CmnLink2Append(&static_cast<Node *>(CmnLink2Append(&n->child, sizeof(Node)))->child,
                     sizeof(Node));
  }
  CmnLink2Remove(&head, 1);
  EXPECT_EQ(Values(head), "0 2 ");
  EXPECT_EQ(CmnLink2Count(head->child), 2);
  CmnLink2Free(&head);
  EXPECT_EQ(head, nullptr);
}

TEST(CmnParse, WordsQuotesAndEscapes) {
  const char *text = "   \"a b\\tc\"d  next \"\" \\101\\7x\\q\\\\\\\"  ";
  char word[64];
  const char *p = text;
  for (const char *want : {"a b\tcd", "next", "",
                           "A\ax"
                           "q\\\""}) {
    p = CmnParse(p, word);
    EXPECT_STREQ(word, want);
  }
  EXPECT_EQ(CmnParse(text + 18, word), text + 21);  // just past an empty pair of quotes
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
  TempDir dir;
  const std::string root = dir.path();
  for (const char *d : {"/a", "/b", "/c", "/a/dir"}) mkdir((root + d).c_str(), 0755);
  for (const char *f : {"/a/tool", "/b/tool", "/c/tool"}) WriteFile(root + f, "");
  chmod((root + "/b/tool").c_str(), 0755);
  chmod((root + "/c/tool").c_str(), 0755);  // a/tool stays without execute permission
  {
    ScopedEnv path("PATH", ("::" + root + "/a:" + root + "/b:" + root + "/c").c_str());
    char found[256], small[6];
    ASSERT_EQ(CmnFindProgram("tool", found, sizeof found), 1);
    EXPECT_EQ(std::string(found), root + "/b/tool");
    ASSERT_EQ(CmnFindProgram("tool", small, sizeof small), 1);
    EXPECT_EQ(std::string(small), root.substr(0, 5));
    for (const char *missing : {"missing", "dir", ""})
      EXPECT_EQ(CmnFindProgram(missing, found, sizeof found), 0) << missing;
  }
  ScopedEnv path("PATH", nullptr);
  EXPECT_EQ(CmnFindProgram("tool", nullptr, 0), 0);
  EXPECT_EQ(CmnFindProgram((root + "/c/tool").c_str(), nullptr, 0), 1);
  EXPECT_EQ(CmnFindProgram((root + "/a/tool").c_str(), nullptr, 0), 0);
}

TEST(CmnGraphicsSize, RoundsUpToMultiplesOf300) {
  ScopedEnv scale("PVGSCALE", nullptr), minimum("PVGMINSIZE", nullptr);
  EXPECT_EQ(CmnGraphicsSize(0, 0), 1500);
  EXPECT_EQ(CmnGraphicsSize(1072, 0), 1500);
  EXPECT_EQ(CmnGraphicsSize(0, 1073), 1800);
  EXPECT_EQ(CmnGraphicsSize(2000, 10), 3000);
  EXPECT_EQ(CmnGraphicsSize(INT32_MAX, 0), INT32_MAX / 300 * 300);  // no overflow

  setenv("PVGSCALE", "1", 1);
  setenv("PVGMINSIZE", "0", 1);           // reads as 0: the minimum is 300
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
