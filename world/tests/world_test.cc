#include "world/world.h"

#include <gtest/gtest.h>

#include "wbem/testing/leak_check.h"

namespace {

class WorldTest : public wbem::testing::LeakCheckedTest {};

TEST_F(WorldTest, CollectsTheResultEventsRaisedInItsNamespace) {
  world::World world;
  ASSERT_EQ(world.DefineStandardClasses(), WBEM_S_NO_ERROR);
  ASSERT_EQ(world.CollectResults(), WBEM_S_NO_ERROR);
  ASSERT_EQ(world.ns().Raise("ZRV_ActionResult", {{"ProfileName", wbem::Variant("P")},
                                                   {"MsgInfo", wbem::Variant("900")}}),
            WBEM_S_NO_ERROR);
  const auto results = world.TakeResults();
  ASSERT_EQ(results.size(), 1u);
  const world::Properties props = world::ReadProperties(results[0].get());
  EXPECT_EQ(props.at("ProfileName"), world::Mof("P"));
  EXPECT_EQ(props.at("MsgInfo"), world::Mof("900"));
  EXPECT_TRUE(world.TakeResults().empty()) << "taken results are handed over once";
}

TEST_F(WorldTest, WithoutTheResultClassNothingCanBeCollected) {
  world::World world("root\\other");
  ASSERT_EQ(world.DefineStandardClasses(/*with_result_class=*/false), WBEM_S_NO_ERROR);
  EXPECT_NE(world.CollectResults(), WBEM_S_NO_ERROR);
  EXPECT_FALSE(world.collecting());
  wbem::ComPtr<IWbemClassObject> event;
  EXPECT_EQ(world.NewEvent("ZRV_Event", {{"EventId", wbem::Variant("e1")}}, &event),
            WBEM_S_NO_ERROR);
  EXPECT_TRUE(event);
  wbem::ComPtr<IWbemClassObject> missing;
  EXPECT_NE(world.NewEvent("ZRV_ActionResult", {}, &missing), WBEM_S_NO_ERROR);
  EXPECT_FALSE(missing);
}

TEST_F(WorldTest, StandardClassesReplaceAnEarlierDefinitionOfTheirName) {
  world::World world;
  ASSERT_EQ(world.ns().Define(repository::Class("ZRV_Event").Property("Other", CIM_STRING)),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(world.DefineStandardClasses(), WBEM_S_NO_ERROR);
  ASSERT_EQ(world.DefineStandardClasses(), WBEM_S_NO_ERROR) << "filing them again is harmless";
  wbem::ComPtr<IWbemClassObject> event;
  ASSERT_EQ(world.NewEvent("ZRV_Event", {{"severity", wbem::Variant("high")}}, &event),
            WBEM_S_NO_ERROR);
  const world::Properties props = world::ReadProperties(event.get());
  EXPECT_EQ(props.count("Other"), 0u);
  EXPECT_EQ(props.at("severity"), world::Mof("high"));
}

}  // namespace
