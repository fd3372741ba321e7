// velko mcp: a Model Context Protocol server offering the agent's tools and skills, over
// stdio or over Streamable HTTP.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "app/agent_builder.h"
#include "app/command.h"
#include "app/commands/commands.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/json.h"
#include "velko/base/strings.h"
#include "velko/mcp/http_transport.h"
#include "velko/mcp/server.h"

namespace velko::app {
namespace {

struct McpOptions {
  std::string mode = "cli";
  std::optional<std::string> sandbox_id;
  std::string connection_id;
  std::string config = "{}";
  size_t workers = 4;
  std::string http;  // [HOST:]PORT; empty: stdio
  std::string token_file;
  std::vector<std::string> allowed_origins;
};

struct Address {
  std::string host = "127.0.0.1";
  int port = 0;
};

// "[HOST:]PORT", the host an IPv4 address, a name, or an IPv6 address in brackets.
Address parse_address(const std::string& text) {
  Address address;
  std::string port = text;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    address.host = text.substr(0, colon);
    port = text.substr(colon + 1);
    bool bracketed = address.host.starts_with("[") && address.host.ends_with("]");
    if (address.host.empty() || (!bracketed && address.host.find(':') != std::string::npos)) {
      throw base::ValueError("--http wants [HOST:]PORT (an IPv6 host in brackets): " + text);
    }
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) > 65535) {
    throw base::ValueError("--http wants [HOST:]PORT with a port from 0 to 65535: " + text);
  }
  address.port = std::stoi(port);
  return address;
}

// The bearer token: the file's text without surrounding white space, else
// $VELKO_MCP_TOKEN; nullopt when neither is set. Never echoes the token.
std::optional<std::string> read_token(const McpOptions& options) {
  if (!options.token_file.empty()) {
    std::string token(base::strip(base::read_file(options.token_file)));
    if (token.empty()) throw base::ValueError("the token file " + options.token_file + " is empty");
    return token;
  }
  auto token = base::getenv_opt("VELKO_MCP_TOKEN");
  if (token && !base::strip(*token).empty()) return std::string(base::strip(*token));
  return std::nullopt;
}

int serve_http(const mcp::Server& server, const McpOptions& options, std::function<mcp::SessionConfig()> new_session) {
  Address address = parse_address(options.http);
  mcp::HttpOptions http_options;
  http_options.host = address.host;
  http_options.port = address.port;
  http_options.token = read_token(options);
  http_options.allowed_origins = options.allowed_origins;
  http_options.new_session = std::move(new_session);
  if (!http_options.token && !mcp::is_loopback_host(address.host)) {
    std::fprintf(stderr,
                 "velko mcp: serving on %s needs a bearer token (--token-file FILE or VELKO_MCP_TOKEN); "
                 "without one only a loopback address is allowed\n",
                 address.host.c_str());
    return 2;
  }
  // SIGINT and SIGTERM end the server: blocked in every thread, taken by one watcher.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that hangs up is a failed write, not the end

  mcp::HttpTransport transport(server, http_options);
  int port = transport.bind();
  std::string shown_host = address.host.find(':') != std::string::npos && !address.host.starts_with("[")
                               ? "[" + address.host + "]"
                               : address.host;
  std::fprintf(stderr, "velko mcp: serving MCP over Streamable HTTP at http://%s:%d/mcp%s\n", shown_host.c_str(), port,
               http_options.token ? " (bearer token required)" : "");
  std::fflush(stderr);
  std::thread watcher([&transport, stop_signals] {
    int received = 0;
    sigwait(&stop_signals, &received);
    transport.stop();
  });
  transport.listen();
  pthread_kill(watcher.native_handle(), SIGTERM);  // wakes the watcher when listen ended on its own
  watcher.join();
  return 0;
}

void setup_mcp(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<McpOptions>();
  CLI::App* command = app.add_subcommand(
      "mcp",
      "Serve the agent's tools and skills to a Model Context Protocol client over stdio (JSON-RPC 2.0, one "
      "message per line) or Streamable HTTP (--http); the server's instructions are the system prompt for "
      "the connection");
  command->add_option("--mode", options->mode, "cli or web")->check(CLI::IsMember({"cli", "web"}));
  command->add_option("--sandbox-id", options->sandbox_id, "web mode: run in the local sandbox of this id");
  command->add_option("--connection-id", options->connection_id, "Warehouse connection (default: the default one)");
  command->add_option("--config", options->config, "Run configuration as JSON");
  command->add_option("--workers", options->workers, "Tool calls run at once (default 4); as many more may wait")
      ->check(CLI::Range(1, 256));
  command->add_option("--http", options->http,
                      "Serve Streamable HTTP at http://[HOST:]PORT/mcp instead of stdio (default host 127.0.0.1; "
                      "port 0 picks a free one)");
  command->add_option("--token-file", options->token_file,
                      "File holding the bearer token HTTP clients must send (else $VELKO_MCP_TOKEN); required "
                      "for a host that is not a loopback address");
  command->add_option("--allowed-origin", options->allowed_origins,
                      "Origin allowed to call the HTTP server (repeatable; default: loopback origins only)");
  command->callback([options, &context] {
    apply_global_options(context.options);
    AgentOptions agent_options;
    agent_options.mode = options->mode;
    agent_options.sandbox_id = options->sandbox_id;
    agent_options.cwd = base::getenv_opt("PWD");
    auto agent = build_agent(agent_options);
    Json config = base::loads(options->config);
    auto new_session = [agent, config, connection_id = options->connection_id] {
      Json state = agent->run_before_agent(initial_state(connection_id), config);
      return mcp::SessionConfig{state, config, agent->system_prompt_for(state, config)};
    };
    mcp::SessionConfig session = new_session();
    mcp::ServerOptions server_options;
    server_options.version = VELKO_VERSION;
    server_options.state = session.state;
    server_options.config = session.config;
    server_options.instructions = session.instructions;
    server_options.workers = options->workers;
    mcp::Server server(agent, server_options);
    if (!options->http.empty()) {
      context.exit_code = serve_http(server, *options, new_session);
      return;
    }
    std::ios::sync_with_stdio(false);
    server.serve(std::cin, std::cout);
  });
}

}  // namespace

void add_mcp_command(CLI::App& app, CommandContext& context) { setup_mcp(app, context); }

}  // namespace velko::app
