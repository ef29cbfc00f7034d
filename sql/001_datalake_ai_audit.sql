-- Audit trail of the host: prompts, answers, tool uses, policy decisions and
-- data access, one row per event. The row time is stamped by the server on
-- insert (MATERIALIZED, so that JSONEachRow inserts that leave it out still
-- get the time rather than a zero date).
CREATE DATABASE IF NOT EXISTS datalake;

CREATE TABLE IF NOT EXISTS datalake.ai_audit
(
    session_id String,
    event_id String,
    kind String,
    rule String,
    severity String,
    tool String,
    text String,
    host String,
    os_user String,
    ts DateTime MATERIALIZED now()
)
ENGINE = MergeTree
PARTITION BY toYYYYMM(ts)
ORDER BY (ts, session_id);
