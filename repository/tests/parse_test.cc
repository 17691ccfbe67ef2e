#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "repository/object_path.h"
#include "repository/wql.h"
#include "wbem/unicode.h"

namespace repository {
namespace {

// The lines of a file under tests/testdata that are not comments ("#..."),
// with the empty text first: no line of a file can hold it.
std::vector<std::string> Lines(const std::string& name) {
  std::ifstream in(std::string(AM_REPOSITORY_TESTDATA) + "/" + name);
  std::vector<std::string> lines = {""};
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with('#')) lines.push_back(line);
  }
  EXPECT_GT(lines.size(), 10u) << name << " is missing or short";
  return lines;
}

TEST(ObjectPathTest, ParsesBothFormsAndRefusesMalformedPaths) {
  using Key = ObjectPath::Key;
  const std::tuple<const char*, ObjectPath> cases[] = {
      {R"(\\.\root\zrv:Disk)", {u".", u"root\\zrv", u"Disk", {}}},
      {R"(\\.\root:Disk.Id="C:")", {u".", u"root", u"Disk", {Key{u"Id", u"C:", true}}}},
      {R"(\\.\a\b\c:Disk.Id="x",Num=5)",
       {u".", u"a\\b\\c", u"Disk", {Key{u"Id", u"x", true}, Key{u"Num", u"5", false}}}},
      {R"(Disk.Id="a\"b\\c")", {u"", u"", u"Disk", {Key{u"Id", u"a\"b\\c", true}}}},
      {R"(Disk.Path="C:\temp\x")", {u"", u"", u"Disk", {Key{u"Path", u"C:\\temp\\x", true}}}},
      {R"(Disk.Id="a,b=c.d")", {u"", u"", u"Disk", {Key{u"Id", u"a,b=c.d", true}}}},
      {R"(Disk.Id="")", {u"", u"", u"Disk", {Key{u"Id", u"", true}}}},
      {R"(root\zrv:Disk)", {u"", u"root\\zrv", u"Disk", {}}},
      {"Disk", {u"", u"", u"Disk", {}}},
      {"Disk.On=TRUE", {u"", u"", u"Disk", {Key{u"On", u"TRUE", false}}}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    ObjectPath path;
    ASSERT_EQ(ParseObjectPath(Utf8ToUtf16(text), &path), WBEM_S_NO_ERROR);
    EXPECT_EQ(path, expected);
  }
  for (const std::string& text : Lines("bad_object_paths.txt")) {
    SCOPED_TRACE(text);
    ObjectPath path;
    EXPECT_EQ(ParseObjectPath(Utf8ToUtf16(text), &path), WBEM_E_INVALID_OBJECT_PATH);
  }
}

TEST(ObjectPathTest, FormatReadsBack) {
  ObjectPath path{u".", u"root\\zrv", u"Disk", {{u"Id", u"a\"b\\", true}, {u"Num", u"5", false}}};
  const std::u16string text = FormatObjectPath(path);
  EXPECT_EQ(Utf16ToUtf8(text), R"(\\.\root\zrv:Disk.Id="a\"b\\",Num=5)");
  ObjectPath back;
  ASSERT_EQ(ParseObjectPath(text, &back), WBEM_S_NO_ERROR);
  EXPECT_EQ(back, path);
}

TEST(EventQueryTest, ParsesTheSubsetAndRefusesEverythingElse) {
  using C = EventQuery::Condition;
  const std::tuple<const char*, EventQuery> cases[] = {
      {"SELECT * FROM ZRV_Event", {u"ZRV_Event", {}}},
      {"select * from zrv_event", {u"zrv_event", {}}},
      {"  SELECT\t*\nFROM  E  ", {u"E", {}}},
      {"SELECT * FROM ZRV_Event WHERE ProfileName=\"P\"",
       {u"ZRV_Event", {C{u"ProfileName", u"P"}}}},
      {"SELECT * FROM E WHERE A = \"1\" AND B=\"two words\" and C=\"\"",
       {u"E", {C{u"A", u"1"}, C{u"B", u"two words"}, C{u"C", u""}}}},
      {R"(SELECT * FROM E WHERE P="a\\b")", {u"E", {C{u"P", u"a\\b"}}}},
      {R"(SELECT * FROM E WHERE P="say \"hi\"")", {u"E", {C{u"P", u"say \"hi\""}}}},
      {R"(SELECT * FROM E WHERE P="\\\\server\\share")", {u"E", {C{u"P", u"\\\\server\\share"}}}},
      {"SELECT*FROM E WHERE P=\"x\"", {u"E", {C{u"P", u"x"}}}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EventQuery q;
    ASSERT_EQ(ParseEventQuery(Utf8ToUtf16(text), &q), WBEM_S_NO_ERROR);
    EXPECT_EQ(q, expected);
  }
  for (const std::string& text : Lines("bad_event_queries.txt")) {
    SCOPED_TRACE(text);
    EventQuery q;
    EXPECT_EQ(ParseEventQuery(Utf8ToUtf16(text), &q), WBEM_E_INVALID_QUERY);
  }
}

}  // namespace
}  // namespace repository
