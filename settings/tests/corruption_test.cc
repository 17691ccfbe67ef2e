// Every truncation of every golden archive, and a table of corrupted ones,
// must fail with CArchiveException: no crash and no leak (the sanitizer build
// runs this). A count or length the data cannot back is refused by its cause
// before anything is allocated from it.
#include <gtest/gtest.h>

#include <functional>

#include "settings/action_manager_settings.h"
#include "settings/event_def.h"
#include "settings/list_parameters.h"
#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

// Loads a record into a fresh object and gives the object stored again.
using Loader = std::function<Bytes(const Bytes&)>;

template <typename T, typename... Version>
Loader LoaderOf(Version... version) {
  return [=](const Bytes& data) {
    T object;
    EXPECT_TRUE(LoadAll(data, object, version...)) << "bytes left over";
    return StoreOf(object, version...);
  };
}

const Loader kSettings11 = LoaderOf<CActionManagerSettings>(11);
const Bytes kProgram = Str("CProgramActionInfo");
const Bytes kBuiltIn = Str("CBuiltInActionInfo");
const Bytes kTask = Str("CTaskActionInfo");

struct Golden {
  const char* name;
  Bytes data;
  Loader load;
  Bytes stored_again;
};

// Every golden archive is written out byte by byte, so that a change of the
// format in the code under test cannot change what the test expects.
std::vector<Golden> Goldens() {
  // Rules Cpu, Empty and Disk fall into chains 4, 9 and 12, Disk's actions
  // task and restart into chains 7 and 8: one name per chain, so loading and
  // storing again gives the same bytes.
  // The command takes the word-prefixed string form.
  const Bytes program = Cat({Str("run"), kProgram, Word(3), Bytes{0xFF, 0x2C, 0x01},
                             Bytes(300, 'c'), Str("run it"), Str("x"), Str("probe")});
  const Bytes task = Cat({Str("task"), kTask, Word(1), Word(3), Bytes{'a', 'b', 0}, Word(4),
                          Bytes{'c', 0xC3, 0xA9, 0}, Long(2), Str("x"), Str("y")});
  const Bytes builtin =
      Cat({Str("restart"), kBuiltIn, Word(0x0102), Str("root\\zrv"), Str("Svc"), Str("Restart"),
           Long(-7), Str("restart"), Str("aux"), Long(1), Str("Name"), Str("event_key"), Long(2),
           Str("Why"), Str("severity"), Str("Id"), Str("EventId")});
  const Bytes settings = Cat({Long(3), Str("Cpu"), Long(1), program, Str("Empty"), Long(0),
                              Str("Disk"), Long(2), task, builtin});

  const Bytes head = Cat({Long(1), Str("E"), Long(1), Str("a"), kBuiltIn, Word(2), Str("ns"),
                          Str("C"), Str("M"), Long(0)});
  const Bytes tail = Cat({Long(1), Str("i"), Str("j")});
  const Bytes old_settings = Cat({head, Str("K"), Str("P"), Str("d"), Str(""), tail});
  const Bytes old_stored_again = Cat({head, Str("d"), Str(""), Long(1), Str("K"), Str("P"), tail});

  // Name; present companion: numbers 3, 1, 2, 4, texts a, b, d, c, number 5,
  // aggregation fields; numeric, then string attribute names.
  const Bytes event_def = Cat({Str("Ev"), Long(1), Long(3), Long(1), Long(2), Long(4), Str("a"),
                               Str("b"), Str("d"), Str("c"), Long(5), Long(1), Str("f1"), Long(2),
                               Str("cpu"), Str("mem"), Long(1), Str("host")});
  // Present companion: number, two texts, texts, flags; then the elements.
  const Bytes strings = Cat({Long(1), Long(3), Str("t1"), Str("t2"), Long(2), Str("x"), Str("y"),
                             Long(2), Long(1), Long(0), Long(2), Str("a"), Str("b")});
  const Bytes numbers =
      Cat({Long(1), Long(3), Str("t1"), Str(""), Long(1), Str("x"), Long(1), Long(1), Long(2),
           Bytes{0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, Bytes{0, 0, 0, 0, 0, 0, 0, 0x40}});
  return {
      {"settings v11", settings, kSettings11, settings},
      {"settings v10 older built-in", old_settings, LoaderOf<CActionManagerSettings>(10),
       old_stored_again},
      {"event definition v6", event_def, LoaderOf<CEventDef>(6), event_def},
      {"string list", strings, LoaderOf<CStringListParameter>(), strings},
      {"numeric list", numbers, LoaderOf<CNumericListParameter>(), numbers},
  };
}

TEST(CorruptionTest, GoldenArchivesRoundTripAndEveryTruncationFails) {
  for (const Golden& g : Goldens()) {
    SCOPED_TRACE(g.name);
    EXPECT_EQ(g.load(g.data), g.stored_again);
    for (std::size_t n = 0; n < g.data.size(); ++n) {
      try {
        g.load(Bytes(g.data.begin(), g.data.begin() + static_cast<std::ptrdiff_t>(n)));
        ADD_FAILURE() << "loaded a truncation to " << n << " bytes";
      } catch (const CArchiveException& e) {
        ASSERT_LE(e.GetOffset(), n) << e.what();
      }
    }
  }
}

TEST(CorruptionTest, CorruptedArchivesFailWithTheirCause) {
  using E = CArchiveException;
  const Loader strings = LoaderOf<CStringListParameter>(), event_def = LoaderOf<CEventDef>(6);
  struct Case {
    const char* name;
    Bytes data;
    E::Cause cause;
    Loader load = kSettings11;
  };
  const Bytes rule_e = Cat({Long(1), Str("E")});
  const Case cases[] = {
      {"rule count beyond data", Cat({Long(0x7FFFFFFF), Str("E")}), E::badCount},
      {"action count beyond data", Cat({rule_e, Long(1000000)}), E::badCount},
      {"event name of 4 GiB", Cat({Long(1), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}),
       E::badLength},
      {"action name twice wide", Cat({rule_e, Long(1), {0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF}}),
       E::badString},
      {"key list count beyond data",
       Cat({rule_e, Long(1), Str("a"), kBuiltIn, Word(0), Str(""), Str(""), Str(""), Long(0),
            Str(""), Str(""), Long(0x40000000)}),
       E::badCount},
      {"task byte block of 4 GiB",
       Cat({rule_e, Long(1), Str("t"), kTask, Word(0), Word(0xFFFF), Long(-1)}), E::badLength},
      {"task items beyond data",
       Cat({rule_e, Long(1), Str("t"), kTask, Word(0), Word(0), Word(0), Long(3), Str("")}),
       E::badCount},
      {"unknown class leaves its record to be misread as the next entry",
       Cat({rule_e, Long(2), Str("a"), Str("CBogus"), {7, 0, 1, 'c', 0, 0, 0}}), E::badLength},
      {"program record cut", Cat({rule_e, Long(1), Str("a"), kProgram, Word(0), Str("c")}),
       E::endOfData},
      {"doubles beyond data", Cat({Long(0), Long(2), Bytes(15, 0)}), E::badCount,
       LoaderOf<CNumericListParameter>()},
      {"flags beyond data", Cat({Long(1), Long(0), Str(""), Str(""), Long(0), Long(2), Long(1)}),
       E::badCount, strings},
      {"companion text of 64 KiB", Cat({Long(1), Long(0), {0xFF, 0xFD, 0xFF, 'x'}}), E::badLength,
       strings},
      {"aggregation fields beyond data",
       Cat({Str("E"), Long(1), Long(0), Long(0), Long(0), Long(0), Str(""), Str(""), Str(""),
            Str(""), Long(0), Long(0x7FFFFFFF)}),
       E::badCount, event_def},
      {"attribute names beyond data", Cat({Str("E"), Long(0), Long(0), Long(5), Str("a")}),
       E::badCount, event_def},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.load(c.data);
      ADD_FAILURE() << "loaded";
    } catch (const CArchiveException& e) {
      EXPECT_EQ(e.GetCause(), c.cause) << e.what();
      EXPECT_LE(e.GetOffset(), c.data.size());
    }
  }
}

}  // namespace
}  // namespace settings_test
