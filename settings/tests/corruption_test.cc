// Every truncation of every golden archive, and a table of corrupted ones,
// must fail with CArchiveException: no crash, no leak (the sanitizer build
// runs this), and no allocation sized from a count or length the data cannot
// back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "settings/action_manager_settings.h"
#include "settings/event_def.h"
#include "settings/list_parameters.h"
#include "settings/tests/test_util.h"

// Tracks the largest single allocation while a test asks for it. GCC cannot
// see that the replaced new and delete below pair malloc with free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<bool> g_tracking{false};
std::atomic<std::size_t> g_largest{0};
}  // namespace

void* operator new(std::size_t size) {
  if (g_tracking.load(std::memory_order_relaxed)) {
    std::size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace settings_test {
namespace {

using Loader = std::function<void(const Bytes&)>;

Loader SettingsAt(std::int32_t version) {
  return [version](const Bytes& data) {
    CActionManagerSettings s;
    CArchive ar(data);
    s.Serialize(ar, version);
  };
}

Loader EventDefAt(std::int32_t version) {
  return [version](const Bytes& data) {
    CEventDef d;
    CArchive ar(data);
    d.Serialize(ar, version);
  };
}

template <typename T>
Loader Plain() {
  return [](const Bytes& data) {
    T object;
    CArchive ar(data);
    object.Serialize(ar);
  };
}

const Bytes kProgram = Str("CProgramActionInfo");
const Bytes kBuiltIn = Str("CBuiltInActionInfo");
const Bytes kTask = Str("CTaskActionInfo");

Bytes GoldenSettings() {
  CActionManagerSettings s;
  auto built_in = std::make_unique<CBuiltInActionInfo>();
  built_in->m_strNamespace = "root\\zrv";
  built_in->m_KeyParams.AddTail(CParams("Name", "event_key"));
  built_in->m_InParams.AddTail(CParams("Why", "severity"));
  s.m_mapRules["Disk"].SetAt("restart", std::move(built_in));
  s.m_mapRules["Disk"].SetAt("task", std::make_unique<CTaskActionInfo>(1, "ab", "c", "x;y"));
  auto program = std::make_unique<CProgramActionInfo>();
  program->m_strCommand = std::string(300, 'c');  // the word-prefixed string form
  program->m_strProbe = "probe";
  s.m_mapRules["Cpu"].SetAt("run", std::move(program));
  s.m_mapRules["Empty"];
  return StoreOf(s, 11);
}

Bytes GoldenOldSettings() {
  return Cat({Long(1),
              Str("E"),
              Long(1),
              Str("a"),
              kBuiltIn,
              {2, 0},
              Str("ns"),
              Str("C"),
              Str("M"),
              Long(0),
              Str("K"),
              Str("P"),
              Str("d"),
              Str(""),
              Long(1),
              Str("i"),
              Str("j")});
}

Bytes GoldenEventDef() {
  CEventDef d("Ev", "cpu,mem", "host", "f1", 1, 2, 3, 4, "a", "b", "c", "d", 5);
  return StoreOf(d, 6);
}

Bytes GoldenStringList() {
  const std::int32_t n = 3;
  CStringListParameter l(n, "t1", "t2", "a,b", "x,y", "TRUE,FALSE");
  return StoreOf(l);
}

Bytes GoldenNumericList() {
  const std::int32_t n = 3;
  CNumericListParameter l(n, "t1", "", "1.5,2", "x", "TRUE");
  return StoreOf(l);
}

struct Golden {
  const char* name;
  Bytes data;
  Loader load;
};

std::vector<Golden> Goldens() {
  return {
      {"settings v11", GoldenSettings(), SettingsAt(11)},
      {"settings v10 older built-in", GoldenOldSettings(), SettingsAt(10)},
      {"event definition v6", GoldenEventDef(), EventDefAt(6)},
      {"string list", GoldenStringList(), Plain<CStringListParameter>()},
      {"numeric list", GoldenNumericList(), Plain<CNumericListParameter>()},
  };
}

TEST(CorruptionTest, GoldenArchivesLoadWhole) {
  for (const Golden& g : Goldens()) {
    SCOPED_TRACE(g.name);
    EXPECT_NO_THROW(g.load(g.data));
  }
}

TEST(CorruptionTest, EveryTruncationFails) {
  for (const Golden& g : Goldens()) {
    SCOPED_TRACE(g.name);
    for (std::size_t n = 0; n < g.data.size(); ++n) {
      const Bytes cut(g.data.begin(), g.data.begin() + static_cast<std::ptrdiff_t>(n));
      try {
        g.load(cut);
        ADD_FAILURE() << "loaded a truncation to " << n << " bytes";
      } catch (const CArchiveException& e) {
        ASSERT_LE(e.GetOffset(), n) << e.what();
      }
    }
  }
}

TEST(CorruptionTest, CorruptedArchivesFailWithoutLargeAllocations) {
  struct Case {
    const char* name;
    Bytes data;
    Loader load;
    CArchiveException::Cause cause;
  };
  const Case cases[] = {
      {"rule count beyond data", Cat({Long(0x7FFFFFFF), Str("E")}), SettingsAt(11),
       CArchiveException::badCount},
      {"action count beyond data", Cat({Long(1), Str("E"), Long(1000000)}), SettingsAt(11),
       CArchiveException::badCount},
      {"event name of 4 GiB", Cat({Long(1), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}),
       SettingsAt(11), CArchiveException::badLength},
      {"action name twice wide",
       Cat({Long(1), Str("E"), Long(1), {0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF}}), SettingsAt(11),
       CArchiveException::badString},
      {"key list count beyond data",
       Cat({Long(1),
            Str("E"),
            Long(1),
            Str("a"),
            kBuiltIn,
            {0, 0},
            Str(""),
            Str(""),
            Str(""),
            Long(0),
            Str(""),
            Str(""),
            Long(0x40000000)}),
       SettingsAt(11), CArchiveException::badCount},
      {"task byte block of 4 GiB",
       Cat({Long(1), Str("E"), Long(1), Str("t"), kTask, {0, 0}, {0xFF, 0xFF}, Long(-1)}),
       SettingsAt(11), CArchiveException::badLength},
      {"task items beyond data",
       Cat({Long(1), Str("E"), Long(1), Str("t"), kTask, {0, 0}, {0, 0}, {0, 0}, Long(3), Str("")}),
       SettingsAt(11), CArchiveException::badCount},
      {"unknown class leaves its record to be misread as the next entry",
       Cat({Long(1), Str("E"), Long(2), Str("a"), Str("CBogus"), {7, 0, 1, 'c', 0, 0, 0}}),
       SettingsAt(11), CArchiveException::badLength},
      {"program record cut",
       Cat({Long(1), Str("E"), Long(1), Str("a"), kProgram, {0, 0}, Str("c")}), SettingsAt(11),
       CArchiveException::endOfData},
      {"doubles beyond data", Cat({Long(0), Long(2), Bytes(15, 0)}), Plain<CNumericListParameter>(),
       CArchiveException::badCount},
      {"flags beyond data", Cat({Long(1), Long(0), Str(""), Str(""), Long(0), Long(2), Long(1)}),
       Plain<CStringListParameter>(), CArchiveException::badCount},
      {"companion text of 64 KiB", Cat({Long(1), Long(0), {0xFF, 0xFD, 0xFF, 'x'}}),
       Plain<CStringListParameter>(), CArchiveException::badLength},
      {"aggregation fields beyond data",
       Cat({Str("E"), Long(1), Long(0), Long(0), Long(0), Long(0), Str(""), Str(""), Str(""),
            Str(""), Long(0), Long(0x7FFFFFFF)}),
       EventDefAt(6), CArchiveException::badCount},
      {"attribute names beyond data", Cat({Str("E"), Long(0), Long(0), Long(5), Str("a")}),
       EventDefAt(6), CArchiveException::badCount},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_largest = 0;
    g_tracking = true;
    try {
      c.load(c.data);
      g_tracking = false;
      ADD_FAILURE() << "loaded";
    } catch (const CArchiveException& e) {
      g_tracking = false;
      EXPECT_EQ(e.GetCause(), c.cause) << e.what();
      EXPECT_LE(e.GetOffset(), c.data.size());
    }
    // Containers and map nodes may cost some hundred bytes; nothing may
    // follow a claimed count or length.
    EXPECT_LT(g_largest.load(), 1024u) << "largest allocation";
  }
}

}  // namespace
}  // namespace settings_test
