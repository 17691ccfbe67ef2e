#include "service/event_input.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace service {
namespace {

TEST(EventInputTest, BodiesSplitIntoEventsWithTheirPaths) {
  struct Case {
    const char* body;
    std::vector<std::string> paths;  // empty: an error
    std::string error_place;
  };
  const Case cases[] = {
      {R"({"class": "A"})", {""}, ""},
      {"  {\"class\": \"A\",\n \"properties\": {}}\n", {""}, ""},  // one object over two lines
      {R"([{"class": "A"}, {"class": "B"}])", {"[0]", "[1]"}, ""},
      {"{\"class\": \"A\"}\n\n{\"class\": \"B\"}\r\n", {"line 1", "line 3"}, ""},
      {"{\"class\": \"A\"}\n{\"class\": ", {}, "line 2, column 11"},
      {"[]", {}, ""},
      {" \n ", {}, ""},
      {"[1, 2", {}, "line 1, column 6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::vector<EventText> events;
    const Status status = SplitEvents(c.body, &events);
    const bool ok = status.ok();
    ASSERT_EQ(ok, !c.paths.empty()) << status.place << ": " << status.text();
    std::vector<std::string> paths;
    for (const EventText& event : events) paths.push_back(event.path);
    if (ok) {
      EXPECT_EQ(paths, c.paths);
    }
    if (!ok) {
      EXPECT_EQ(status.reason, Reason::kInvalid);
      if (!c.error_place.empty()) {
        EXPECT_EQ(status.place, c.error_place);
      }
    }
  }
}

TEST(EventInputTest, PlacesJoinTheEventAndTheField) {
  EXPECT_EQ(EventPlace("", "properties.Free"), "properties.Free");
  EXPECT_EQ(EventPlace("[2]", "properties.Free"), "[2].properties.Free");
  EXPECT_EQ(EventPlace("line 3", "properties.Free"), "line 3: properties.Free");
  EXPECT_EQ(EventPlace("line 3", ""), "line 3");
}

}  // namespace
}  // namespace service
