#include "velko/platform/search_subagents/subagents.h"

#include "velko/base/errors.h"

namespace velko::platform::search_subagents {
namespace {

constexpr const char* kExploreDescription =
    "Explores the connected data warehouse: finds the schemas, tables and columns that matter for a question, "
    "samples data with small queries and reports what it found. Use it before writing non-trivial SQL.";
constexpr const char* kExplorePrompt =
    "You are a data exploration assistant. Your job is to map the part of the user's data warehouse that a task "
    "needs, then report back concisely.\n\n"
    "Work like this:\n"
    "1. List the schemas, then the tables of the schemas that look relevant.\n"
    "2. Read the columns of the candidate tables; note keys, timestamps and obvious join columns.\n"
    "3. Run small, row-capped queries to check what the data looks like (value ranges, nulls, granularity).\n"
    "4. Report the tables and columns to use, how they join, and anything surprising. Do not modify data.";

constexpr const char* kResearchDescription =
    "Researches a topic on the web: searches, reads the most relevant pages and returns a sourced summary. "
    "Use it for questions about tools, libraries, errors and current events outside the warehouse.";
constexpr const char* kResearchPrompt =
    "You are a web research assistant for data engineering questions.\n\n"
    "- Start with web_search using a precise query; use quick_answer for short factual questions.\n"
    "- Use extract_content to read the pages that matter, and get_search_context when you need a compact "
    "overview of many sources.\n"
    "- Prefer official documentation and primary sources; note versions and dates.\n"
    "- Answer with a concise summary and list the URLs you relied on.";

constexpr const char* kDocsDescription =
    "Looks up documentation for Airflow, dlt and dbt in the indexed documentation collections and returns the "
    "relevant passages with their sources.";
constexpr const char* kDocsPrompt =
    "You are a documentation assistant. Answer questions about Airflow, dlt and dbt from their documentation.\n\n"
    "- Call list_collections to see which collections can be searched.\n"
    "- Call search_docs with a focused query and the matching collection; search again with other wording when "
    "the passages do not answer the question.\n"
    "- Quote the passages you use and name their sources. Say so plainly when the documentation does not cover "
    "the question.";

// A tool function that runs `body` and answers with "Error: " and the message of
// whatever it throws, instead of failing the call.
template <typename Body>
host::ToolFunction answering_errors(Body body) {
  return [body = std::move(body)](const Json& args, const host::ToolRuntime&) -> std::string {
    try {
      return body(args);
    } catch (const std::exception& error) {
      return std::string("Error: ") + error.what();
    }
  };
}

long long integer_or(const Json& args, const char* name, long long fallback) {
  auto found = args.find(name);
  if (found == args.end() || found->is_null()) return fallback;
  return found->get<long long>();  // the tool schema has checked it is an integer
}

std::vector<host::Tool> research_tools(const std::shared_ptr<const WebSearchClient>& client) {
  std::vector<host::Tool> tools;
  tools.emplace_back(
      "web_search", "Search the web. Returns the search results as JSON (title, url, content, score).",
      std::vector<host::ToolParam>{{"query", "string", "The search query", true},
                                   {"max_results", "integer", "How many results to return (default 5)", false},
                                   {"include_raw_content", "boolean", "Include the pages' full text", false}},
      answering_errors([client](const Json& args) -> std::string {
        bool raw = args.contains("include_raw_content") && args["include_raw_content"].is_boolean() &&
                   args["include_raw_content"].get<bool>();
        return base::dumps(
            client->web_search(args["query"].get<std::string>(), integer_or(args, "max_results", 5), raw));
      }));
  tools.emplace_back("extract_content", "Read the main content of web pages. Returns JSON with one entry per URL.",
                     std::vector<host::ToolParam>{{"urls", "array", "The page URLs", true}},
                     answering_errors([client](const Json& args) -> std::string {
                       std::vector<std::string> urls;
                       for (const Json& url : args["urls"]) {
                         if (!url.is_string()) return "Error: urls must be a list of text";
                         urls.push_back(url.get<std::string>());
                       }
                       return base::dumps(client->extract_content(urls));
                     }));
  tools.emplace_back("quick_answer", "Get a short answer to a factual question from a web search.",
                     std::vector<host::ToolParam>{{"query", "string", "The question", true}},
                     answering_errors([client](const Json& args) -> std::string {
                       return client->quick_answer(args["query"].get<std::string>());
                     }));
  tools.emplace_back(
      "get_search_context", "Search the web and return the results condensed into text for further reasoning.",
      std::vector<host::ToolParam>{{"query", "string", "The search query", true},
                                   {"max_results", "integer", "How many sources to use (default 5)", false}},
      answering_errors([client](const Json& args) -> std::string {
        return client->get_search_context(args["query"].get<std::string>(), integer_or(args, "max_results", 5));
      }));
  return tools;
}

std::vector<host::Tool> docs_tools(const std::shared_ptr<const DocsSearchClient>& client) {
  std::vector<host::Tool> tools;
  tools.emplace_back(
      "list_collections", "List the documentation collections that can be searched.", std::vector<host::ToolParam>{},
      answering_errors([client](const Json&) -> std::string { return base::dumps(Json(client->list_collections())); }));
  tools.emplace_back(
      "search_docs",
      "Search a documentation collection. Returns JSON with the matching passages, their sources and relevance.",
      std::vector<host::ToolParam>{{"query", "string", "What to look for", true},
                                   {"collection", "string", "The collection (default airflow_docs)", false},
                                   {"n_results", "integer", "How many passages, 1 to 20 (default 5)", false}},
      answering_errors([client](const Json& args) -> std::string {
        auto given = args.find("collection");
        std::string collection =
            given != args.end() && given->is_string() ? given->get<std::string>() : std::string("airflow_docs");
        return base::dumps(
            client->search_docs(args["query"].get<std::string>(), collection, integer_or(args, "n_results", 5)));
      }));
  return tools;
}

SubAgent make_subagent(const char* name, const char* description, const char* prompt, std::vector<host::Tool> tools,
                       const std::vector<std::string>& tool_names) {
  SubAgent subagent;
  subagent.definition["name"] = name;
  subagent.definition["description"] = description;
  subagent.definition["system_prompt"] = prompt;
  subagent.definition["tools"] = tool_names;
  subagent.tools = std::move(tools);
  return subagent;
}

std::vector<std::string> names_of(const std::vector<host::Tool>& tools) {
  std::vector<std::string> names;
  for (const auto& tool : tools) names.push_back(tool.name());
  return names;
}

}  // namespace

SubAgent get_explore_subagent() {
  return make_subagent(EXPLORE_SUBAGENT_NAME, kExploreDescription, kExplorePrompt, {},
                       {"list_schemas_tool", "list_tables_tool", "get_table_columns_tool", "execute_sql_query"});
}

std::optional<SubAgent> get_research_subagent(std::shared_ptr<const WebSearchClient> tavily_client) {
  if (!tavily_client) return std::nullopt;
  std::vector<host::Tool> tools = research_tools(tavily_client);
  std::vector<std::string> names = names_of(tools);
  return make_subagent(RESEARCH_SUBAGENT_NAME, kResearchDescription, kResearchPrompt, std::move(tools), names);
}

std::optional<SubAgent> get_docs_subagent(std::shared_ptr<const DocsSearchClient> chromadb_client) {
  if (!chromadb_client) return std::nullopt;
  std::vector<host::Tool> tools = docs_tools(chromadb_client);
  std::vector<std::string> names = names_of(tools);
  return make_subagent(DOCS_SUBAGENT_NAME, kDocsDescription, kDocsPrompt, std::move(tools), names);
}

}  // namespace velko::platform::search_subagents
