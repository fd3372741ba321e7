// The sample warehouse of `velko demo`: a small business (regions, customers, products,
// orders, order items, payments) in one SQLite file, the same bytes of data on every run.
#pragma once

#include <filesystem>

namespace velko::app {

struct DemoWarehouseSummary {
  int customers = 0;
  int products = 0;
  int orders = 0;
  int order_items = 0;
  int payments = 0;
};

// Creates (or re-creates) the warehouse at `path`, writing to a temporary file first and
// renaming it into place. Throws RuntimeError with SQLite's message on failure.
DemoWarehouseSummary create_demo_warehouse(const std::filesystem::path& path);

}  // namespace velko::app
