// The rule executor: executor choice, run order, the execution limit and its
// counters, through components the manager built on a real repository.
#include "component/impl_action_rule.h"

#include <iterator>
#include <sstream>

#include "component/tests/component_world.h"
#include "method_actions/impl_builtin_action_info.h"
#include "program_actions/impl_program_info.h"

namespace component_test {
namespace {

class ImplActionRuleTest : public ComponentTest {};

struct Action {
  std::string tag;  // "task" for a task action, "none" for one of no known kind
  std::uint16_t limit;
  int result = 1;
};

std::vector<std::unique_ptr<CBaseActionInfo>> Build(const std::vector<Action>& actions) {
  std::vector<std::unique_ptr<CBaseActionInfo>> list;
  for (const Action& a : actions) {
    list.push_back(a.tag == "task"   ? Task(a.limit)
                   : a.tag == "none" ? std::make_unique<CBaseActionInfo>()
                                     : Recording(a.tag, a.limit, a.result));
    list.back()->m_wExecLimit = a.limit;
  }
  return list;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST_F(ImplActionRuleTest, ExecutionLimitHoldsBackActionsPerEventIdAndFailuresFailTheEvent) {
  struct Case {
    const char* name;
    const char* event_class;
    std::vector<Action> actions;
    const char* ids;      // one delivery each; "-" gives no EventId
    const char* results;  // of each delivery
    const char* runs;
    const char* lines;  // E<n>: executing after n runs; H<n>: held back at n; M: malformed
  };
  // clang-format off
  const Case cases[] = {
      {"limit 0 runs at every delivery and the counter grows", "Disk_Full", {{"A", 0}},
       "7 7 7", "111", "A@7 A@7 A@7", "E0 E1 E2"},
      {"limit 1 runs once per event id", "Disk_Full", {{"A", 1}},
       "7 7 8 7", "1111", "A@7 A@8", "E0 E1 H1 E0 E1 H1"},
      {"limits 2 and 5: the counter stops at 2, the second action runs on", "Disk_Full",
       {{"A", 2}, {"B", 5}},
       "7 7 7 7 7", "11111", "A@7 B@7 A@7 B@7 B@7 B@7 B@7", "E0 E1 E2 H2 E2 H2 E2 H2"},
      {"events without an event id share the key None", "No_Id_Event", {{"A", 1}},
       "- - -", "111", "A@-", "M E0 M E1 H1 M E1 H1"},
      {"a task-only rule runs nothing and counts", "Disk_Full", {{"task", 0}},
       "7 7 7", "111", "", "E0 E1 E2"},
      {"a task action's own limit stops the counter", "Disk_Full", {{"task", 2}},
       "7 7 7 7", "1111", "", "E0 E1 E2 H2 E2 H2"},
      {"an empty rule counts every delivery", "Disk_Full", {},
       "7 7 7", "111", "", "E0 E1 E2"},
      {"actions of no known kind are dropped, limit and all", "Disk_Full",
       {{"none", 1}, {"none", 1}}, "7 7 7", "111", "", "E0 E1 E2"},
      {"a failing first action fails the event and does not stop the second", "Disk_Full",
       {{"A", 0, 0}, {"B", 0, 1}}, "7 7", "00", "A@7 B@7 A@7 B@7", "E0 E1"},
      {"a failing last action fails the event until it is held back", "Disk_Full",
       {{"A", 0}, {"B", 1, 0}}, "7 7", "01", "A@7 B@7 A@7", "E0 E1 H1"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CActionManagerSettings settings;
    AddRule(settings, c.event_class, Build(c.actions));
    CActionManagerSink* sink = Component(settings, /*start=*/false);
    ASSERT_NE(sink, nullptr);
    std::string results;
    for (const std::string& id : Words(c.ids)) {
      auto event = id == "-" ? Event(c.event_class) : Event(c.event_class, {{"EventId", id}});
      results += std::to_string(sink->ProcessEvent(event.get()));
    }
    EXPECT_EQ(results, c.results);
    EXPECT_THAT(Recorder::Get().Take(), ElementsAreArray(Words(c.runs)));
    std::string name = c.event_class;
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::vector<std::string> lines;
    for (const std::string& code : Words(c.lines)) {
      const int count = code.size() > 1 ? std::stoi(code.substr(1)) : 0;
      lines.push_back(code[0] == 'E'   ? ExecutingLine(name, count)
                      : code[0] == 'H' ? HeldBackLine(name, count)
                                       : "0 ActionManager: The event '" + name +
                                             "'is malformed. The property EventId of  was not "
                                             "found");
    }
    EXPECT_THAT(journal_->Take(), ElementsAreArray(lines));
  }
}

TEST_F(ImplActionRuleTest, CountersArePerRuleAndPerEventIdText) {
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", Build({{"A", 1}}));
  AddRule(settings, "CPU_HIGH", Build({{"B", 1}}));
  AddRule(settings, "Numeric_Id_Event", Build({{"C", 0}}));
  CActionManagerSink* sink = Component(settings, /*start=*/false);
  ASSERT_NE(sink, nullptr);
  for (const char* event_class : {"Disk_Full", "CPU_HIGH", "Disk_Full"}) {
    EXPECT_EQ(sink->ProcessEvent(Event(event_class, {{"EventId", "7"}}).get()), 1);
  }
  EXPECT_EQ(sink->ProcessEvent(Event("Disk_Full", {{"EventId", ""}}).get()), 1);
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("A@7", "B@7", "A@"));
  EXPECT_EQ(sink->FindRule("disk_full")->GetExecutionCount("7"), 1);
  EXPECT_EQ(sink->FindRule("disk_full")->GetExecutionCount(""), 1);
  EXPECT_EQ(sink->FindRule("cpu_high")->GetExecutionCount("7"), 1);

  // A numeric id counts under its decimal text; a null id is no id and
  // shares "None" without claiming that the property is missing.
  CImplActionRule* numeric = sink->FindRule("numeric_id_event");
  ASSERT_NE(numeric, nullptr);
  journal_->Take();
  EXPECT_EQ(numeric->ExecuteActions(Event("Numeric_Id_Event", {{"EventId", 42}}).get(), "x"), 1);
  EXPECT_EQ(numeric->ExecuteActions(Event("Disk_Full", {{"EventId", "42"}}).get(), "x"), 1);
  EXPECT_EQ(numeric->ExecuteActions(Event("Disk_Full", {{"EventId", nullptr}}).get(), "x"), 1);
  EXPECT_EQ(numeric->GetExecutionCount("42"), 2);
  EXPECT_EQ(numeric->GetExecutionCount(CImplActionRule::kNoEventId), 1);
  EXPECT_THAT(journal_->Take(),
              ElementsAre(ExecutingLine("x", 0), ExecutingLine("x", 1), ExecutingLine("x", 0)));
}

TEST_F(ImplActionRuleTest, ExecutorsFollowTheActionKindAndKeepTheirOwnCopy) {
  CImplActionRule::SetExecutorFactoryForTesting(nullptr);
  CActionRule rule;
  auto builtin = std::make_unique<CBuiltInActionInfo>();
  builtin->m_strMethodName = "Reset";
  builtin->m_wExecLimit = 3;
  auto program = std::make_unique<CProgramActionInfo>();
  program->m_strCommand = "echo hi";
  program->m_wExecLimit = 4;
  rule.SetAt("builtin", std::move(builtin));
  rule.SetAt("program", std::move(program));
  rule.SetAt("task", Task(5));
  rule.SetAt("none", std::make_unique<CBaseActionInfo>());

  CImplActionRule executor(nullptr, rule);
  rule.ClearAll();  // the executors hold copies
  std::vector<std::string> seen;
  for (const auto& e : executor.GetExecutors()) {
    EXPECT_TRUE(e->IsKindOf(&CImplBaseActionInfo::classCImplBaseActionInfo));
    std::string text = e->GetRuntimeClass()->m_lpszClassName;
    text += " " + std::to_string(e->GetExecutionLimit()) + " ";
    if (const auto* b = dynamic_cast<const CImplBuiltInActionInfo*>(e.get())) {
      text += b->GetInfo().m_strMethodName;
    } else if (const auto* p = dynamic_cast<const CImplProgramInfo*>(e.get())) {
      text += p->GetInfo().m_strCommand;
    } else if (const auto* t = dynamic_cast<const CImplTaskActionInfo*>(e.get())) {
      for (const std::string& item : t->GetInfo().m_lstItems) text += item + ";";
    }
    seen.push_back(text);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_THAT(seen, ElementsAre("CImplBuiltInActionInfo 3 Reset", "CImplProgramInfo 4 echo hi",
                                "CImplTaskActionInfo 5 a;b;"));
  EXPECT_EQ(CImplBaseActionInfo::classCImplBaseActionInfo.m_pfnGetBaseClass(),
            &CObject::classCObject);
  EXPECT_EQ(CImplBaseActionInfo::classCImplBaseActionInfo.m_pfnCreateObject, nullptr);
}

TEST_F(ImplActionRuleTest, ActionsRunInTheOrderOfACopyOfTheRule) {
  // Enough actions that several share a chain, where a copy reverses them.
  CActionRule rule;
  for (int i = 0; i < 40; ++i) rule.SetAt("act" + std::to_string(i), Recording(std::to_string(i)));
  std::vector<std::string> expected, source_order;
  for (const auto& [name, action] : CActionRule(rule)) {
    expected.push_back(static_cast<const RecordingActionInfo&>(*action).tag + "@7");
  }
  for (const auto& [name, action] : rule) {
    source_order.push_back(static_cast<const RecordingActionInfo&>(*action).tag + "@7");
  }
  ASSERT_NE(expected, source_order) << "the rule should exercise a chain with several actions";

  CActionManagerSettings settings;
  settings.m_mapRules.SetAt("Disk_Full", std::move(rule));
  ASSERT_NE(Component(settings), nullptr);
  Raise("Disk_Full", {{"EventId", "7"}});
  EXPECT_THAT(Recorder::Get().Take(), ElementsAreArray(expected));
}

}  // namespace
}  // namespace component_test
