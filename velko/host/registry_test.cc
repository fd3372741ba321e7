// Registry: a name added again replaces its factory in place; missing names are absent.
#include "velko/host/registry.h"

#include <gtest/gtest.h>

namespace velko::host {
namespace {

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

}  // namespace
}  // namespace velko::host
