#include "app/demo_warehouse.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::app {
namespace {

// A small deterministic generator (SplitMix64), so every run writes the same data.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int between(int low, int high) { return low + static_cast<int>(next() % static_cast<uint64_t>(high - low + 1)); }
  template <size_t N>
  const char* pick(const std::array<const char*, N>& items) {
    return items[next() % N];
  }

 private:
  uint64_t state_;
};

class Database {
 public:
  explicit Database(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) fail("open");
  }
  ~Database() { sqlite3_close(db_); }
  void exec(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      std::string text = message ? message : "unknown error";
      sqlite3_free(message);
      throw base::RuntimeError("creating the demo warehouse failed: " + text);
    }
  }
  // Prepares `sql`; bind values with bind() then call step_reset().
  void prepare(const std::string& sql) {
    sqlite3_finalize(stmt_);
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) fail("prepare");
  }
  void bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
  void bind(int index, double value) { sqlite3_bind_double(stmt_, index, value); }
  void bind(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  void bind_null(int index) { sqlite3_bind_null(stmt_, index); }
  void step_reset() {
    if (sqlite3_step(stmt_) != SQLITE_DONE) fail("insert");
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  void finish() {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }

 private:
  [[noreturn]] void fail(const char* what) {
    throw base::RuntimeError(std::string("creating the demo warehouse failed (") + what + "): " + sqlite3_errmsg(db_));
  }
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

constexpr std::array<const char*, 5> kRegions = {"North", "South", "East", "West", "Central"};
constexpr std::array<const char*, 16> kFirstNames = {"Ada",  "Ben", "Chloe", "Dan",  "Eva",  "Finn", "Gia",  "Hugo",
                                                     "Iris", "Jon", "Kira",  "Liam", "Mila", "Noah", "Olga", "Pablo"};
constexpr std::array<const char*, 12> kLastNames = {"Smith", "Novak", "Garcia", "Kim",   "Rossi",    "Dubois",
                                                    "Weber", "Silva", "Nguyen", "Jones", "Kowalski", "Tanaka"};
constexpr std::array<const char*, 6> kCategories = {"Coffee", "Tea", "Bakery", "Equipment", "Snacks", "Merch"};
constexpr std::array<const char*, 10> kAdjectives = {"Classic", "Organic", "Dark",  "Smooth", "Bold",
                                                     "Light",   "Spiced",  "Fresh", "Deluxe", "Mini"};
constexpr std::array<const char*, 4> kStatuses = {"delivered", "delivered", "shipped", "cancelled"};
constexpr std::array<const char*, 3> kMethods = {"card", "bank_transfer", "voucher"};
constexpr std::array<const char*, 4> kSegments = {"consumer", "consumer", "small_business", "enterprise"};

std::string date_of(int day_index) {  // days since 2024-01-01, within 2024-2025
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year = 2024;
  int day = day_index;
  while (true) {
    bool leap = year % 4 == 0;
    int year_days = leap ? 366 : 365;
    if (day < year_days) break;
    day -= year_days;
    ++year;
  }
  int month = 0;
  while (true) {
    int month_days = kDays[month] - (month == 1 && year % 4 != 0 ? 1 : 0);
    if (day < month_days) break;
    day -= month_days;
    ++month;
  }
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", year, month + 1, day + 1);
  return buffer;
}

// The tables and the view, empty.
void create_schema(Database& db) {
  db.exec(R"(
CREATE TABLE regions (region_id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE customers (
  customer_id INTEGER PRIMARY KEY, first_name TEXT NOT NULL, last_name TEXT NOT NULL,
  email TEXT NOT NULL UNIQUE, region_id INTEGER NOT NULL REFERENCES regions(region_id),
  segment TEXT NOT NULL, signup_date DATE NOT NULL);
CREATE TABLE products (
  product_id INTEGER PRIMARY KEY, name TEXT NOT NULL, category TEXT NOT NULL,
  unit_price NUMERIC(10,2) NOT NULL, active BOOLEAN NOT NULL);
CREATE TABLE orders (
  order_id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL REFERENCES customers(customer_id),
  order_date DATE NOT NULL, status TEXT NOT NULL, discount_pct REAL);
CREATE TABLE order_items (
  order_id INTEGER NOT NULL REFERENCES orders(order_id), line_no INTEGER NOT NULL,
  product_id INTEGER NOT NULL REFERENCES products(product_id), quantity INTEGER NOT NULL,
  unit_price NUMERIC(10,2) NOT NULL, PRIMARY KEY (order_id, line_no));
CREATE TABLE payments (
  payment_id INTEGER PRIMARY KEY, order_id INTEGER NOT NULL REFERENCES orders(order_id),
  paid_at TIMESTAMP NOT NULL, amount NUMERIC(12,2) NOT NULL, method TEXT NOT NULL);
CREATE VIEW monthly_revenue AS
  SELECT substr(o.order_date, 1, 7) AS month, ROUND(SUM(i.quantity * i.unit_price), 2) AS revenue,
         COUNT(DISTINCT o.order_id) AS orders
  FROM orders o JOIN order_items i ON i.order_id = o.order_id
  WHERE o.status <> 'cancelled' GROUP BY 1 ORDER BY 1;
)");
}

void insert_regions(Database& db) {
  db.prepare("INSERT INTO regions VALUES (?, ?)");
  for (size_t idx = 0; idx < kRegions.size(); ++idx) {
    db.bind(1, static_cast<int64_t>(idx + 1));
    db.bind(2, std::string(kRegions[idx]));
    db.step_reset();
  }
}

void insert_customers(Database& db, Random& random, DemoWarehouseSummary& summary) {
  db.prepare("INSERT INTO customers VALUES (?, ?, ?, ?, ?, ?, ?)");
  for (int customer_id = 1; customer_id <= 600; ++customer_id) {
    std::string first = random.pick(kFirstNames);
    std::string last = random.pick(kLastNames);
    std::string email = first + "." + last + "." + std::to_string(customer_id) + "@example.com";
    for (auto& ch : email) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    db.bind(1, static_cast<int64_t>(customer_id));
    db.bind(2, first);
    db.bind(3, last);
    db.bind(4, email);
    db.bind(5, static_cast<int64_t>(random.between(1, static_cast<int>(kRegions.size()))));
    db.bind(6, std::string(random.pick(kSegments)));
    db.bind(7, date_of(random.between(0, 500)));
    db.step_reset();
    ++summary.customers;
  }
}

// Returns each product's price, by product id - 1.
std::vector<double> insert_products(Database& db, Random& random, DemoWarehouseSummary& summary) {
  std::vector<double> prices;
  db.prepare("INSERT INTO products VALUES (?, ?, ?, ?, ?)");
  for (int product_id = 1; product_id <= 60; ++product_id) {
    const char* category = kCategories[static_cast<size_t>(product_id - 1) % kCategories.size()];
    double price = random.between(250, 8999) / 100.0;
    prices.push_back(price);
    db.bind(1, static_cast<int64_t>(product_id));
    db.bind(2, std::string(random.pick(kAdjectives)) + " " + category + " #" + std::to_string(product_id));
    db.bind(3, std::string(category));
    db.bind(4, price);
    db.bind(5, static_cast<int64_t>(random.between(0, 9) > 0));
    db.step_reset();
    ++summary.products;
  }
  return prices;
}

// Returns each order's date and status, by order id - 1.
std::vector<std::pair<std::string, std::string>> insert_orders(Database& db, Random& random,
                                                               DemoWarehouseSummary& summary) {
  db.prepare("INSERT INTO orders VALUES (?, ?, ?, ?, ?)");
  std::vector<std::pair<std::string, std::string>> order_info;  // date, status
  for (int order_id = 1; order_id <= 4000; ++order_id) {
    // Orders grow over the two years and peak in December.
    int day = random.between(0, 730);
    if (random.between(0, 3) == 0) day = std::max(day, random.between(300, 730));
    std::string date = date_of(day);
    std::string status = random.pick(kStatuses);
    db.bind(1, static_cast<int64_t>(order_id));
    db.bind(2, static_cast<int64_t>(random.between(1, summary.customers)));
    db.bind(3, date);
    db.bind(4, status);
    if (random.between(0, 4) == 0) {
      db.bind(5, random.between(5, 25) / 1.0);
    } else {
      db.bind_null(5);
    }
    db.step_reset();
    order_info.emplace_back(date, status);
    ++summary.orders;
  }
  return order_info;
}

// Returns each order's total, by order id.
std::vector<double> insert_order_items(Database& db, Random& random, const std::vector<double>& prices,
                                       size_t order_count, DemoWarehouseSummary& summary) {
  db.prepare("INSERT INTO order_items VALUES (?, ?, ?, ?, ?)");
  std::vector<double> order_totals(order_count + 1, 0.0);
  for (int order_id = 1; order_id <= summary.orders; ++order_id) {
    int lines = random.between(1, 5);
    for (int line_no = 1; line_no <= lines; ++line_no) {
      int product_id = random.between(1, summary.products);
      int quantity = random.between(1, 6);
      double price = prices[static_cast<size_t>(product_id - 1)];
      db.bind(1, static_cast<int64_t>(order_id));
      db.bind(2, static_cast<int64_t>(line_no));
      db.bind(3, static_cast<int64_t>(product_id));
      db.bind(4, static_cast<int64_t>(quantity));
      db.bind(5, price);
      db.step_reset();
      order_totals[static_cast<size_t>(order_id)] += quantity * price;
      ++summary.order_items;
    }
  }
  return order_totals;
}

void insert_payments(Database& db, Random& random, const std::vector<std::pair<std::string, std::string>>& order_info,
                     const std::vector<double>& order_totals, DemoWarehouseSummary& summary) {
  db.prepare("INSERT INTO payments VALUES (?, ?, ?, ?, ?)");
  for (int order_id = 1; order_id <= summary.orders; ++order_id) {
    const auto& [date, status] = order_info[static_cast<size_t>(order_id - 1)];
    if (status == "cancelled") continue;
    char paid_at[64];
    std::snprintf(paid_at, sizeof paid_at, "%s %02d:%02d:%02d", date.c_str(), random.between(8, 21),
                  random.between(0, 59), random.between(0, 59));
    db.bind(1, static_cast<int64_t>(summary.payments + 1));
    db.bind(2, static_cast<int64_t>(order_id));
    db.bind(3, std::string(paid_at));
    db.bind(4,
            static_cast<double>(static_cast<int64_t>(order_totals[static_cast<size_t>(order_id)] * 100 + 0.5)) / 100.0);
    db.bind(5, std::string(random.pick(kMethods)));
    db.step_reset();
    ++summary.payments;
  }
}

}  // namespace

DemoWarehouseSummary create_demo_warehouse(const std::filesystem::path& path) {
  std::error_code ec;
  base::create_private_directories(path.parent_path());  // under ~/.velko: 0700 whatever the umask
  std::filesystem::path temp = path;
  temp += ".tmp-" + std::to_string(::getpid());
  std::filesystem::remove(temp, ec);
  DemoWarehouseSummary summary;
  {
    Database db(temp.string());
    db.exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;");
    create_schema(db);
    // One generator, drawn from in this order, so the warehouse is the same every time.
    Random random(20261208);
    insert_regions(db);
    insert_customers(db, random, summary);
    std::vector<double> prices = insert_products(db, random, summary);
    auto order_info = insert_orders(db, random, summary);
    std::vector<double> order_totals = insert_order_items(db, random, prices, order_info.size(), summary);
    insert_payments(db, random, order_info, order_totals, summary);
    db.finish();
    db.exec("COMMIT;");
  }
  std::filesystem::permissions(temp, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
  if (!ec) std::filesystem::rename(temp, path, ec);
  if (ec) throw base::OSError("could not move the demo warehouse into place: " + ec.message());
  return summary;
}

}  // namespace velko::app
