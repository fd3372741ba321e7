#include "velko/platform/sandbox/e2b_backend.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/platform/sandbox/local_sandbox.h"
#include "velko/platform/sandbox/module.h"
#include "velko/platform/sandbox/sandbox.h"

namespace velko::platform::sandbox {
namespace {

// A sandbox service that records every connection and command and answers with a
// scripted result, or throws where told to.
struct FakeService : SandboxProvider {
  struct Call {
    std::string id;
    int timeout = 0;
    std::string command;
    std::optional<std::string> cwd;
    std::map<std::string, std::string> envs;
  };

  struct Handle : Sandbox, SandboxFiles, SandboxCommands {
    Handle(FakeService* service, std::string id, int timeout) : service(service), id(std::move(id)), timeout(timeout) {}
    const std::string& sandbox_id() const override { return id; }
    SandboxFiles& files() override { return *this; }
    SandboxCommands& commands() override { return *this; }
    void write(const std::string&, std::string_view) override {}
    std::string read(const std::string&, const std::string&) override { return ""; }
    CommandResult run(const std::string& command, const std::optional<std::string>& cwd,
                      const std::map<std::string, std::string>& envs) override {
      service->calls.push_back(Call{id, timeout, command, cwd, envs});
      if (service->run_error) throw base::RuntimeError(*service->run_error);
      return service->result;
    }
    FakeService* service;
    std::string id;
    int timeout;
  };

  std::shared_ptr<Sandbox> connect(const std::string& id, int timeout_seconds) override {
    ++connects;
    if (connect_error) throw base::RuntimeError(*connect_error);
    return std::make_shared<Handle>(this, id, timeout_seconds);
  }

  int connects = 0;
  std::vector<Call> calls;
  CommandResult result;
  std::optional<std::string> connect_error, run_error;
};

class E2BBackendTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeService> service_ = std::make_shared<FakeService>();
  ScopedSandboxProvider scope_{service_};
};

TEST_F(E2BBackendTest, WithoutIdExecuteAndIdRaiseNamingTheMiddleware) {
  E2BBackend backend;
  EXPECT_FALSE(backend.has_id());
  EXPECT_EQ(backend.get_cwd(), std::nullopt);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      if (attempt == 0) {
        backend.execute("ls");
      } else {
        (void)backend.id();
      }
      FAIL() << "expected ValueError";
    } catch (const base::ValueError& error) {
      std::string message = error.what();
      EXPECT_NE(message.find("Sandbox ID not set"), std::string::npos);
      EXPECT_NE(message.find("E2BSandboxMiddleware"), std::string::npos);
    }
  }
  EXPECT_EQ(service_->connects, 0);
}

TEST_F(E2BBackendTest, EveryCommandConnectsAnewWithTimeoutCwdAndItsOwnEnvs) {
  E2BBackend backend(120);
  backend.set_id("first");
  backend.set_id("sbx-7");  // the last assignment wins
  EXPECT_EQ(backend.id(), "sbx-7");
  backend.execute("one");
  backend.set_cwd("/home/user/project");
  backend.execute("two", host::EnvMap{{"VELKO_CONNECTION_STRING", "sqlite:////d.db"}});
  backend.execute("three");

  EXPECT_EQ(service_->connects, 3);
  ASSERT_EQ(service_->calls.size(), 3u);
  EXPECT_EQ(service_->calls[0].id, "sbx-7");
  EXPECT_EQ(service_->calls[0].timeout, 120);
  EXPECT_EQ(service_->calls[0].cwd, std::nullopt);
  EXPECT_EQ(service_->calls[1].command, "two");
  EXPECT_EQ(service_->calls[1].cwd, "/home/user/project");
  EXPECT_EQ(service_->calls[1].envs,
            (std::map<std::string, std::string>{{"VELKO_CONNECTION_STRING", "sqlite:////d.db"}}));
  EXPECT_TRUE(service_->calls[2].envs.empty());
  EXPECT_EQ(E2BBackend().timeout_seconds(), host::SANDBOX_TIMEOUT_SECONDS);
}

TEST_F(E2BBackendTest, OutputJoinsStreamsAndExitCodesPassThrough) {
  struct Case {
    std::string out, err;
    int exit_code;
    std::string expected;
  };
  std::vector<Case> cases = {
      {"only out\n", "", 0, "only out\n"}, {"", "only err\n", 1, "only err\n"},           {"", "", 0, ""},
      {"out\n", "err\n", 1, "out\nerr\n"}, {"no newline", "err", 127, "no newline\nerr"},
  };
  E2BBackend backend;
  backend.set_id("sbx");
  for (const auto& item : cases) {
    service_->result = CommandResult{item.out, item.err, item.exit_code};
    host::ExecuteResponse response = backend.execute("cmd");
    EXPECT_EQ(response.output, item.expected);
    EXPECT_EQ(response.exit_code, item.exit_code);
    EXPECT_FALSE(response.truncated);
  }
}

TEST_F(E2BBackendTest, ConnectOrRunFailureIsErrorOutputWithExitCodeOne) {
  E2BBackend backend;
  backend.set_id("sbx");
  service_->connect_error = "sandbox sbx not found";
  host::ExecuteResponse response = backend.execute("ls");
  EXPECT_EQ(response.output, "Error: sandbox sbx not found");
  EXPECT_EQ(response.exit_code, 1);
  EXPECT_FALSE(response.truncated);

  service_->connect_error.reset();
  service_->run_error = "connection reset";
  EXPECT_EQ(backend.execute("ls").output, "Error: connection reset");
}

TEST(E2BBackendFactory, RegisteredByNameWithCheckedOptions) {
  host::Registry registry;
  register_module(registry);
  auto factory = registry.backend("e2b");
  ASSERT_TRUE(factory.has_value());
  auto backend = std::dynamic_pointer_cast<E2BBackend>((*factory)(Json{{"timeout", 60}, {"id", "sbx"}, {"cwd", "/w"}}));
  ASSERT_NE(backend, nullptr);
  EXPECT_EQ(backend->timeout_seconds(), 60);
  EXPECT_EQ(backend->id(), "sbx");
  EXPECT_EQ(backend->get_cwd(), "/w");
  EXPECT_FALSE((*factory)(Json())->has_id());

  EXPECT_THROW((*factory)(Json{{"timeout", 0}}), base::ValueError);
  EXPECT_THROW((*factory)(Json{{"timeout", "60"}}), base::TypeError);
  EXPECT_THROW((*factory)(Json{{"id", 7}}), base::TypeError);
  EXPECT_THROW((*factory)(Json{{"namespace", "x"}}), base::ValueError);
  EXPECT_THROW((*factory)(Json::array()), base::ValueError);
}

TEST(E2BBackendLocal, RunsInTheLocalSandbox) {
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("velko-e2b-local-" + std::to_string(::getpid()));
  fs::remove_all(root);
  base::ScopedEnv env("VELKO_SANDBOX_ROOT", root.string());
  ScopedSandboxProvider local(nullptr);  // the default local provider

  E2BBackend backend;
  backend.set_id("sbx-local");
  host::ExecuteResponse response =
      backend.execute("echo out; echo \"$GREETING\" >&2; exit 1", host::EnvMap{{"GREETING", "hello"}});
  EXPECT_EQ(response.output, "out\nhello\n");
  EXPECT_EQ(response.exit_code, 1);
  EXPECT_TRUE(fs::is_directory(root / "sbx-local"));

  backend.set_id("../outside");
  response = backend.execute("true");
  EXPECT_EQ(response.exit_code, 1);
  EXPECT_EQ(response.output.rfind("Error: Invalid sandbox id", 0), 0u) << response.output;
  fs::remove_all(root);
}

}  // namespace
}  // namespace velko::platform::sandbox
