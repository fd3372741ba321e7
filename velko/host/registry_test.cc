// Registry: a name added again replaces its entry in place, missing names are absent, each
// kind keeps its own names, and a component comes out only as the type it went in as.
#include "velko/host/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "velko/base/errors.h"

namespace velko::host {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Named : public AgentMiddleware {
 public:
  explicit Named(std::string name) : name_(std::move(name)) {}
  std::string name() const override { return name_; }

 private:
  const std::string name_;
};

MiddlewareFactory making(const std::string& name) {
  return [name](const MiddlewareContext&) { return std::make_shared<Named>(name); };
}

TEST(Registry, ARepeatedNameReplacesInPlaceAndMissingNamesAreAbsent) {
  Registry registry;
  registry.add_middleware("skills", making("first skills"));
  registry.add_middleware("airflow", making("airflow"));
  registry.add_middleware("skills", making("second skills"));
  EXPECT_EQ(registry.middleware_names(), (std::vector<std::string>{"skills", "airflow"}));
  ASSERT_TRUE(registry.middleware("skills").has_value());
  EXPECT_EQ((*registry.middleware("skills"))(MiddlewareContext{})->name(), "second skills");

  EXPECT_FALSE(registry.middleware("Skills").has_value());  // names are exact
  EXPECT_FALSE(registry.middleware("analyst").has_value());
  // Each kind has names of its own.
  EXPECT_FALSE(registry.backend("skills").has_value());
  EXPECT_FALSE(registry.operation("skills").has_value());
  EXPECT_TRUE(registry.backend_names().empty());
}

using Greeter = std::function<std::string(const std::string&)>;
constexpr ComponentKind<Greeter> GREETERS{"greeter"};
constexpr ComponentKind<int> COUNTS{"count"};

TEST(RegistryComponents, EachKindHasItsOwnNamesInTheOrderFirstAdded) {
  Registry registry;
  EXPECT_FALSE(registry.component(GREETERS, "hello"));
  EXPECT_THAT(registry.component_names(COUNTS), IsEmpty());

  registry.add_component(GREETERS, "hello", [](const std::string& who) { return "hello " + who; });
  registry.add_component(COUNTS, "hello", 3);
  registry.add_component(COUNTS, "later", 4);
  registry.add_component(COUNTS, "hello", 5);  // replaces, keeps its place

  ASSERT_TRUE(registry.component(GREETERS, "hello"));
  EXPECT_EQ((*registry.component(GREETERS, "hello"))("ana"), "hello ana");
  EXPECT_EQ(registry.component(COUNTS, "hello"), 5);
  EXPECT_FALSE(registry.component(GREETERS, "later"));
  EXPECT_THAT(registry.component_names(COUNTS), ElementsAre("hello", "later"));
  EXPECT_THAT(registry.component_names(GREETERS), ElementsAre("hello"));
  // Components do not show among the factories.
  EXPECT_THAT(registry.operation_names(), IsEmpty());
}

TEST(RegistryComponents, AKindOfTheSameNameButAnotherTypeIsATypeError) {
  Registry registry;
  registry.add_component(COUNTS, "workers", 2);
  constexpr ComponentKind<long> other_counts{"count"};  // say, a plug-in built against another header
  try {
    registry.component(other_counts, "workers");
    ADD_FAILURE() << "handed out an int as a long";
  } catch (const base::TypeError& error) {
    EXPECT_STREQ(error.what(), "The count 'workers' was registered with another type than this program uses");
  }
  EXPECT_FALSE(registry.component(other_counts, "nobody"));  // absence is not a type question
  EXPECT_EQ(registry.component(COUNTS, "workers"), 2);
}

}  // namespace
}  // namespace velko::host
