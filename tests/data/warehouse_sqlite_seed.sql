-- The embedded warehouse the SQLite tests run against: the same small shop as
-- pg_seed.sql (customers, products, orders and their lines, generated
-- deterministically), a table of every SQLite value kind, and a view.

CREATE TABLE customers (
  id          INTEGER PRIMARY KEY,
  name        TEXT NOT NULL,
  email       VARCHAR(120) NOT NULL UNIQUE,
  country     CHAR(2) NOT NULL,
  signup_date DATE NOT NULL,
  is_active   BOOLEAN NOT NULL,
  lifetime_value NUMERIC(12, 2)
);

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000)
INSERT INTO customers
SELECT i, 'Customer ' || i, 'customer' || i || '@example.com',
       substr('USDEFRJPBR', 1 + 2 * (i % 5), 2),
       date('2020-01-01', '+' || ((i * 7) % 1400) || ' days'),
       i % 7 <> 0,
       CASE WHEN i % 11 = 0 THEN NULL ELSE round((i * 37.5) % 9000 + 0.25, 2) END
FROM n;

CREATE TABLE products (
  id       INTEGER PRIMARY KEY,
  sku      VARCHAR(20) NOT NULL,
  name     TEXT NOT NULL,
  category TEXT NOT NULL,
  price    REAL NOT NULL
);

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200)
INSERT INTO products
SELECT i, 'SKU-' || substr('00000' || i, -5), 'Product ' || i,
       CASE i % 4 WHEN 0 THEN 'books' WHEN 1 THEN 'garden' WHEN 2 THEN 'kitchen' ELSE 'toys' END,
       (i * 13) % 500 + 0.99
FROM n;

CREATE TABLE orders (
  id          INTEGER PRIMARY KEY,
  customer_id INTEGER NOT NULL REFERENCES customers (id),
  ordered_at  TIMESTAMP NOT NULL,
  status      TEXT NOT NULL,
  total       REAL NOT NULL,
  notes       TEXT
);

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000)
INSERT INTO orders
SELECT i, 1 + (i * 7) % 1000,
       datetime('2023-01-01 09:00:00', '+' || (i * 97) || ' minutes'),
       CASE i % 4 WHEN 0 THEN 'placed' WHEN 1 THEN 'shipped' WHEN 2 THEN 'delivered' ELSE 'returned' END,
       (i * 17) % 1200 + 5.5,
       CASE WHEN i % 10 = 0 THEN 'gift wrap, note n°' || i ELSE NULL END
FROM n;

CREATE TABLE order_items (
  order_id   INTEGER NOT NULL REFERENCES orders (id),
  line_no    INTEGER NOT NULL,
  product_id INTEGER NOT NULL REFERENCES products (id),
  quantity   INTEGER NOT NULL,
  PRIMARY KEY (order_id, line_no)
);

WITH RECURSIVE l(line_no) AS (SELECT 1 UNION ALL SELECT line_no + 1 FROM l WHERE line_no < 4)
INSERT INTO order_items
SELECT o.id, l.line_no, 1 + (o.id * 3 + l.line_no * 11) % 200, 1 + (o.id + l.line_no) % 4
FROM orders AS o JOIN l ON l.line_no <= 1 + o.id % 4;

CREATE VIEW customer_order_totals AS
SELECT c.id AS customer_id, c.name, count(o.id) AS order_count, coalesce(sum(o.total), 0) AS total_spent
FROM customers AS c LEFT JOIN orders AS o ON o.customer_id = c.id
GROUP BY c.id, c.name;

-- Row 1 typical values, row 2 edge values (invalid UTF-8 stored as text), row 3 NULLs.
CREATE TABLE value_kinds (
  id        INTEGER PRIMARY KEY,
  k_integer INTEGER,
  k_real    REAL,
  k_text    TEXT,
  k_blob    BLOB,
  k_untyped
);

INSERT INTO value_kinds VALUES
  (1, 9007199254740993, 0.1, 'Grüße, 世界 🎉', x'00ff41', '2024-01-15'),
  (2, -9223372036854775808, 1e300, CAST(x'6261642dff' AS TEXT), x'', 12.5),
  (3, NULL, NULL, NULL, NULL, NULL);
