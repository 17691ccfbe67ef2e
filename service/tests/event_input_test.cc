#include "service/event_input.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace service {
namespace {

TEST(EventInputTest, BodiesSplitIntoEventsWithTheirPaths) {
  // {body, the events' paths each followed by ";", or "invalid at " and the error's place}
  const std::pair<const char*, std::string> cases[] = {
      {R"({"class": "A"})", ";"},
      {"  {\"class\": \"A\",\n \"properties\": {}}\n", ";"},  // one object over two lines
      {R"([{"class": "A"}, {"class": "B"}])", "[0];[1];"},
      {"{\"class\": \"A\"}\n\n{\"class\": \"B\"}\r\n", "line 1;line 3;"},
      {"{\"class\": \"A\"}\n{\"class\": ", "invalid at line 2, column 11"},
      {"[]", "invalid at "},
      {" \n ", "invalid at "},
      {"[1, 2", "invalid at line 1, column 6"},
  };
  for (const auto& [body, expected] : cases) {
    std::vector<EventText> events;
    const Status status = SplitEvents(body, &events);
    std::string got = status.ok()                         ? ""
                      : status.reason == Reason::kInvalid ? "invalid at " + status.place
                                                          : status.text();
    for (const EventText& event : events) got += status.ok() ? event.path + ";" : "";
    EXPECT_EQ(got, expected) << body;
  }
}

TEST(EventInputTest, PlacesJoinTheEventAndTheField) {
  EXPECT_EQ(EventPlace("", "properties.Free") + "|" + EventPlace("[2]", "properties.Free") + "|" +
                EventPlace("line 3", "properties.Free") + "|" + EventPlace("line 3", ""),
            "properties.Free|[2].properties.Free|line 3: properties.Free|line 3");
}

}  // namespace
}  // namespace service
