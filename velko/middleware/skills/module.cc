#include "velko/middleware/skills/module.h"

#include "velko/middleware/skills/middleware.h"

namespace velko::middleware::skills {

void register_module(host::Registry& registry) {
  registry.add_middleware("skills", [](const host::MiddlewareContext& context) {
    std::optional<std::filesystem::path> skills_dir;
    if (context.skills_dir) skills_dir = *context.skills_dir;
    return std::make_shared<SkillsMiddleware>(context.mode, context.backend, skills_dir);
  });
}

}  // namespace velko::middleware::skills
