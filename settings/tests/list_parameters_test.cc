#include "settings/list_parameters.h"

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "settings/tests/test_util.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace settings_test {
namespace {

using Numbers = CList<double>;

// GetAdditionalInfo's outputs as "number/text1/text2/values/texts/flags",
// called on outputs that hold -1, "keep1", "keep2" and `prior` three times,
// so that what it leaves alone or appends to shows.
template <typename List>
std::string InfoOf(const List& list, const std::string& prior = "") {
  std::int32_t number = -1;
  std::string text1 = "keep1", text2 = "keep2", values = prior, texts = prior, flags = prior;
  list.GetAdditionalInfo(number, text1, text2, values, texts, flags);
  return std::to_string(number) + "/" + text1 + "/" + text2 + "/" + values + "/" + texts + "/" +
         flags;
}

TEST(ListParameterTest, OneTextConstructorsSplitAtBars) {
  const std::pair<std::string, CStringList> strings[] = {
      {"a||b|", {"a", "b"}}, {" x | y", {" x ", " y"}}, {"", {}},
      {"|||", {}},           {"one", {"one"}},          {"|a,b|", {"a,b"}}};
  for (const auto& [text, expected] : strings) {
    SCOPED_TRACE(text);
    const CStringListParameter list(text);
    EXPECT_EQ(static_cast<const CStringList&>(list), expected);
    EXPECT_EQ(list.m_pInfo, nullptr);
  }
  // Numbers parse as strtod does in the C locale.
  const std::pair<std::string, Numbers> numbers[] = {{"1|abc|3", {1, 0, 3}},
                                                     {" 2.5|-1e2|+4", {2.5, -100, 4}},
                                                     {"2,5", {2}},
                                                     {"7x|.5", {7, 0.5}},
                                                     {"0x10", {16}}};
  for (const auto& [text, expected] : numbers) {
    SCOPED_TRACE(text);
    EXPECT_EQ(static_cast<const Numbers&>(CNumericListParameter(text)), expected);
  }
}

// Under a numeric locale whose decimal separator is a comma, numbers still
// read and print with a point. The locale is built for the test with
// localedef from a definition of its own, so that the test does not depend
// on the locales a machine happens to have generated.
TEST(ListParameterTest, ProcessLocaleDoesNotChangeNumbers) {
  const amtest::TempDir temp;
  std::ofstream(temp.path() / "comma.def")
      << "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3;3\nEND LC_NUMERIC\n";
  // -c: the definition has no other category, which localedef warns about
  // (exit status 1) while still writing the locale.
  const amtest::ProcessResult run =
      amtest::Run("/usr/bin/localedef", {"-c", "-i", (temp.path() / "comma.def").string(), "-f",
                                         "UTF-8", (temp.path() / "amtest_comma").string()});
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  const char* old_path = std::getenv("LOCPATH");
  const std::string saved_path = old_path ? old_path : "";
  ::setenv("LOCPATH", temp.path().c_str(), 1);
  // The locale must really change what the C library does, or the test
  // could not see a conversion that forgets to pin the C locale.
  const bool active =
      std::setlocale(LC_NUMERIC, "amtest_comma") != nullptr && std::strtod("2.5", nullptr) == 2.0;
  std::int32_t n = 0;
  const CNumericListParameter six(n, "", "", "2.5, 1", "", "");
  const CNumericListParameter one("2.5");
  const std::string info = InfoOf(six);
  std::setlocale(LC_NUMERIC, saved.c_str());
  old_path ? ::setenv("LOCPATH", saved_path.c_str(), 1) : ::unsetenv("LOCPATH");
  if (!active) {
    GTEST_SKIP() << "no decimal-comma locale to test under (localedef exit status " << run.status
                 << "; the UTF-8 charmap comes with the locales package)";
  }
  EXPECT_EQ(static_cast<const Numbers&>(six), (Numbers{2.5, 1}));
  EXPECT_EQ(static_cast<const Numbers&>(one), (Numbers{2.5}));
  EXPECT_EQ(info, "0///2.50,1.00//");
}

TEST(ListParameterTest, SixArgumentConstructorTrimsAndBuildsTheCompanion) {
  const std::int32_t number = 42;
  const CStringListParameter list(number, "t1", "t2", " a , b ", "alpha, beta", "TRUE, true");
  EXPECT_EQ(static_cast<const CStringList&>(list), (CStringList{"a", "b"}));
  EXPECT_EQ(InfoOf(list), "42/t1/t2/a,b/alpha,beta/TRUE,FALSE");
  EXPECT_EQ(InfoOf(list, "x"), "42/t1/t2/xa,b/xalpha,beta/xTRUE,FALSE");  // appends
  EXPECT_EQ(static_cast<const CStringList&>(CStringListParameter(number, "", "", " , x", "", "")),
            (CStringList{"", "x"}));
  // Without a companion only the values change, rounded to two places.
  EXPECT_EQ(InfoOf(CNumericListParameter("1|0.126|-0.005")), "-1/keep1/keep2/1.00,0.13,-0.01//");
}

TEST(ListParameterTest, IndexOperationsCheckBounds) {
  CStringListParameter list("a|b|c");
  std::string element = "unchanged";
  for (int bad : {-1, 3, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ((std::array{list.Get_Elem_w_Index(bad, element), list.Set_Elem_w_Index(bad, "x"),
                          list.Rem_Elem_w_Index(bad)}),
              (std::array{0, 0, 0}));
  }
  EXPECT_EQ(element, "unchanged");
  EXPECT_EQ(list.Get_Elem_w_Index(2, element), 1);
  EXPECT_EQ(element, "c");
  EXPECT_EQ(list.Set_Elem_w_Index(0, "z") + list.Rem_Elem_w_Index(1), 2);
  EXPECT_EQ(static_cast<const CStringList&>(list), (CStringList{"z", "c"}));

  CNumericListParameter one("5");
  double value = -1;
  EXPECT_EQ(one.Get_Elem_w_Index(1, value), 0);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(one.Set_Elem_w_Index(0, 6.5), 1);
  EXPECT_EQ(one.Get_Elem_w_Index(0, value), 1);
  EXPECT_EQ(value, 6.5);
  EXPECT_EQ(one.Rem_Elem_w_Index(0), 1);
  EXPECT_EQ(one.Rem_Elem_w_Index(0), 0);
}

TEST(ListParameterTest, RecordsAreExactAndLoadingReplacesTheCompanion) {
  CStringListParameter empty;
  EXPECT_EQ(StoreOf(empty), Bytes(8, 0));
  const std::int32_t number = -2;
  CStringListParameter strings(number, "t1", "", "a,b", "x", "TRUE,no");
  EXPECT_EQ(StoreOf(strings), Cat({Long(1), Long(-2), Str("t1"), Str(""), Long(1), Str("x"),
                                   Long(2), Long(1), Long(0), Long(2), Str("a"), Str("b")}));
  CNumericListParameter numbers("1.5|-3");
  const Bytes numbers_record =
      Cat({Long(0), Long(2), {0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, {0, 0, 0, 0, 0, 0, 0x08, 0xC0}});
  EXPECT_EQ(StoreOf(numbers), numbers_record);

  // Loading a record without companion drops the one held.
  CNumericListParameter numbers_back(number, "", "", "9", "", "");
  ASSERT_TRUE(LoadAll(numbers_record, numbers_back));
  EXPECT_EQ(numbers_back.m_pInfo, nullptr);
  EXPECT_EQ(static_cast<const Numbers&>(numbers_back), (Numbers{1.5, -3}));
  // A flag holds the 32-bit value read, and any non-zero presence word counts.
  CStringListParameter odd("stale|elements");
  ASSERT_TRUE(LoadAll(
      Cat({Long(7), Long(0), Str(""), Str(""), Long(0), Long(1), Long(-9), Long(-1)}), odd));
  ASSERT_NE(odd.m_pInfo, nullptr);
  EXPECT_EQ(odd.m_pInfo->m_lstFlags, (CList<std::int32_t>{-9}));
  EXPECT_EQ(InfoOf(odd), "0/////TRUE");  // and the stale elements are gone
}

TEST(ListParameterTest, CopiesOwnTheirCompanion) {
  const std::int32_t number = 1;
  CStringListParameter a(number, "t", "", "v", "x", "TRUE");
  CStringListParameter b(a);
  CStringListParameter c("q");
  c = a;
  a.m_pInfo->m_strText1 = "changed";
  a.AddTail("more");
  EXPECT_EQ(StoreOf(b), StoreOf(c));
  EXPECT_EQ(InfoOf(c), "1/t//v/x/TRUE");
  c = CStringListParameter("p");
  EXPECT_EQ(c.m_pInfo, nullptr);
}

}  // namespace
}  // namespace settings_test
