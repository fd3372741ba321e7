// What the research and documentation sub-agents need of their clients: the four web
// search operations, and the two documentation operations. The direct clients of web mode
// and the proxy clients of cli mode offer the same operations; the adapters below let any
// class with those member functions (TavilyProxyClient, ChromaDBClient) stand behind the
// interfaces without depending on them.
//
// Implementations document their own failures; the sub-agent tools catch whatever they
// throw and answer with error text. Implementations must be safe to call from several
// threads at once.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/json.h"

namespace velko::platform::search_subagents {

class WebSearchClient {
 public:
  virtual ~WebSearchClient() = default;
  // The search service's result object.
  virtual Json web_search(std::string_view query, long long max_results, bool include_raw_content) const = 0;
  // The service's extraction result object.
  virtual Json extract_content(const std::vector<std::string>& urls) const = 0;
  // A short answer to the question, or "".
  virtual std::string quick_answer(std::string_view query) const = 0;
  // Search results condensed to text for a model's context, or "".
  virtual std::string get_search_context(std::string_view query, long long max_results) const = 0;
};

class DocsSearchClient {
 public:
  virtual ~DocsSearchClient() = default;
  // Names of the collections that can be searched.
  virtual std::vector<std::string> list_collections() const = 0;
  // {"query", "collection", "num_results", "results": [...]}, or with an "error" member
  // first when the search failed. Does not throw for remote failures.
  virtual Json search_docs(std::string_view query, std::string_view collection, long long n_results) const = 0;
};

template <typename Client>
class WebSearchClientAdapter : public WebSearchClient {
 public:
  explicit WebSearchClientAdapter(std::shared_ptr<const Client> client) : client_(std::move(client)) {}
  Json web_search(std::string_view query, long long max_results, bool include_raw_content) const override {
    return client_->web_search(query, max_results, include_raw_content);
  }
  Json extract_content(const std::vector<std::string>& urls) const override { return client_->extract_content(urls); }
  std::string quick_answer(std::string_view query) const override { return client_->quick_answer(query); }
  std::string get_search_context(std::string_view query, long long max_results) const override {
    return client_->get_search_context(query, max_results);
  }
  const Client& client() const { return *client_; }

 private:
  std::shared_ptr<const Client> client_;
};

template <typename Client>
class DocsSearchClientAdapter : public DocsSearchClient {
 public:
  explicit DocsSearchClientAdapter(std::shared_ptr<const Client> client) : client_(std::move(client)) {}
  std::vector<std::string> list_collections() const override { return client_->list_collections(); }
  Json search_docs(std::string_view query, std::string_view collection, long long n_results) const override {
    return client_->search_docs(query, collection, n_results);
  }
  const Client& client() const { return *client_; }

 private:
  std::shared_ptr<const Client> client_;
};

}  // namespace velko::platform::search_subagents
