-- Time-limited access grants that staff give agents from the console. A
-- grant is open while active = 1 and expires lies ahead of now(); revoking
-- sets active = 0. The creation time is stamped by the server on insert.
CREATE DATABASE IF NOT EXISTS datalake;

CREATE TABLE IF NOT EXISTS datalake.grants
(
    id String,
    label String,
    scope_value String,
    active UInt8,
    expires DateTime,
    created DateTime MATERIALIZED now()
)
ENGINE = MergeTree
ORDER BY (scope_value, expires);
