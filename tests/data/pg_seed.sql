-- The warehouse the tests run against: a small shop (customers, products, orders and
-- their lines, thousands of rows, all generated deterministically), a table holding one
-- column of every value kind the drivers convert, a view, and a second schema.
-- Loaded by scripts/pg_test_server.sh as the role velko_test, which owns everything.

ALTER DATABASE velko_test SET timezone TO 'UTC';
SET timezone TO 'UTC';

CREATE TABLE customers (
  id             serial PRIMARY KEY,
  name           text NOT NULL,
  email          varchar(120) NOT NULL UNIQUE,
  country        char(2) NOT NULL,
  signup_date    date NOT NULL,
  is_active      boolean NOT NULL,
  lifetime_value numeric(12, 2),
  tags           text[],
  profile        jsonb,
  external_id    uuid NOT NULL
);

INSERT INTO customers (name, email, country, signup_date, is_active, lifetime_value, tags, profile, external_id)
SELECT 'Customer ' || n,
       'customer' || n || '@example.com',
       (ARRAY['US', 'DE', 'FR', 'JP', 'BR'])[1 + n % 5],
       DATE '2020-01-01' + (n * 7) % 1400,
       n % 7 <> 0,
       CASE WHEN n % 11 = 0 THEN NULL ELSE round((n * 37.5) % 9000 + 0.25, 2) END,
       CASE WHEN n % 3 = 0 THEN ARRAY['vip', 'newsletter'] WHEN n % 3 = 1 THEN ARRAY['newsletter'] ELSE '{}'::text[] END,
       jsonb_build_object('age', 18 + n % 60, 'channel', (ARRAY['web', 'store', 'phone'])[1 + n % 3]),
       md5('customer' || n)::uuid
FROM generate_series(1, 1000) AS n;

CREATE TABLE products (
  id          integer PRIMARY KEY,
  sku         varchar(20) NOT NULL,
  name        text NOT NULL,
  category    text NOT NULL,
  price       numeric(10, 2) NOT NULL,
  weight_kg   real,
  dims_cm     double precision[],
  attributes  json,
  created_at  timestamptz NOT NULL
);

INSERT INTO products
SELECT n,
       'SKU-' || lpad(n::text, 5, '0'),
       'Product ' || n,
       (ARRAY['books', 'garden', 'kitchen', 'toys'])[1 + n % 4],
       round(((n * 13) % 500 + 0.99)::numeric, 2),
       (n % 50) / 4.0,
       ARRAY[(n % 30) + 0.5, (n % 20) + 1.25, 10.0],
       json_build_object('color', (ARRAY['red', 'green', 'blue'])[1 + n % 3], 'fragile', n % 2 = 0),
       TIMESTAMPTZ '2021-03-01 08:00:00+00' + (n || ' hours')::interval
FROM generate_series(1, 200) AS n;

CREATE TABLE orders (
  id              bigserial PRIMARY KEY,
  customer_id     integer NOT NULL REFERENCES customers (id),
  ordered_at      timestamp NOT NULL,
  status          text NOT NULL,
  total           numeric(12, 2) NOT NULL,
  shipping_window interval,
  notes           text
);

INSERT INTO orders (customer_id, ordered_at, status, total, shipping_window, notes)
SELECT 1 + (n * 7) % 1000,
       TIMESTAMP '2023-01-01 09:00:00' + (n * 97 || ' minutes')::interval,
       (ARRAY['placed', 'shipped', 'delivered', 'returned'])[1 + n % 4],
       round(((n * 17) % 1200 + 5.5)::numeric, 2),
       CASE WHEN n % 4 = 0 THEN NULL ELSE ((n % 5) || ' days ' || (n % 24) || ' hours')::interval END,
       CASE WHEN n % 10 = 0 THEN 'gift wrap, note n°' || n ELSE NULL END
FROM generate_series(1, 5000) AS n;

CREATE TABLE order_items (
  order_id   bigint NOT NULL REFERENCES orders (id),
  line_no    smallint NOT NULL,
  product_id integer NOT NULL REFERENCES products (id),
  quantity   integer NOT NULL,
  unit_price numeric(10, 2) NOT NULL,
  PRIMARY KEY (order_id, line_no)
);

INSERT INTO order_items
SELECT o.id, l.line_no, 1 + (o.id * 3 + l.line_no * 11) % 200, 1 + (o.id + l.line_no) % 4,
       round(((o.id * 3 + l.line_no * 11) % 500 + 0.99)::numeric, 2)
FROM orders AS o
CROSS JOIN LATERAL generate_series(1, 1 + (o.id % 4)::integer) AS l(line_no);

CREATE VIEW customer_order_totals AS
SELECT c.id AS customer_id, c.name, count(o.id) AS order_count, coalesce(sum(o.total), 0) AS total_spent
FROM customers AS c
LEFT JOIN orders AS o ON o.customer_id = c.id
GROUP BY c.id, c.name;

-- One column of every value kind; row 1 typical values, row 2 edge values, row 3 NULLs.
CREATE TABLE value_kinds (
  id              integer PRIMARY KEY,
  k_smallint      smallint,
  k_integer       integer,
  k_bigint        bigint,
  k_real          real,
  k_double        double precision,
  k_numeric       numeric(20, 6),
  k_boolean       boolean,
  k_text          text,
  k_varchar       varchar(40),
  k_char          char(5),
  k_date          date,
  k_time          time,
  k_timetz        timetz,
  k_timestamp     timestamp,
  k_timestamptz   timestamptz,
  k_interval      interval,
  k_uuid          uuid,
  k_bytea         bytea,
  k_json          json,
  k_jsonb         jsonb,
  k_int_array     integer[],
  k_text_array    text[],
  k_numeric_array numeric[],
  k_matrix        integer[][],
  k_inet          inet
);

INSERT INTO value_kinds VALUES
  (1, 12, 34567, 9007199254740993, 1.5, 0.1, 1234.500000, true, 'Grüße, 世界 🎉', 'plain', 'ab',
   DATE '2024-01-15', TIME '10:30:00', TIMETZ '10:30:00+02', TIMESTAMP '2024-01-15 10:30:00.123',
   TIMESTAMPTZ '2024-01-15 10:30:00+00', INTERVAL '1 day 02:03:04', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11',
   '\x00ff41'::bytea, '{"a": [1, 2.5, "x"], "b": null}', '{"nested": {"ok": true}, "n": 3}',
   ARRAY[1, NULL, 3], ARRAY['a b', 'c,d', 'e"f', NULL, 'NULL'], ARRAY[1.10, 2.5]::numeric[],
   ARRAY[[1, 2], [3, 4]], '192.168.0.1/24'),
  (2, -32768, -2147483648, -9223372036854775808, 'Infinity', 'NaN', -0.000001, false, '', 'tab	and
newline', 'x', DATE '0044-03-15', TIME '23:59:59.999999', TIMETZ '00:00:00-05:30', TIMESTAMP '1999-12-31 23:59:59',
   TIMESTAMPTZ '2000-06-01 12:00:00.5+05:30', INTERVAL '-1 year -2 mons +3 days -04:05:06.5', '00000000-0000-0000-0000-000000000000',
   '\x'::bytea, '[]', '"just text"', '{}', ARRAY[]::text[], ARRAY['NaN']::numeric[], '{}', '::1'),
  (3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
   NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);

CREATE SCHEMA staging;

CREATE TABLE staging.raw_events (
  id          bigint PRIMARY KEY,
  kind        text NOT NULL,
  payload     jsonb NOT NULL,
  received_at timestamptz NOT NULL
);

INSERT INTO staging.raw_events
SELECT n, (ARRAY['click', 'view', 'purchase'])[1 + n % 3], jsonb_build_object('seq', n),
       TIMESTAMPTZ '2024-02-01 00:00:00+00' + (n || ' seconds')::interval
FROM generate_series(1, 2000) AS n;

CREATE SEQUENCE ticket_numbers START 1000;
