-- The origin tables: every agent event, hook decision and announced tool
-- call (ai_events) and every compliance finding (ai_signals) that the host
-- copies out of agent batches and its own events. Keys a table lacks are
-- skipped on insert. Times arrive as UTC text with milliseconds ("2025-03-01
-- 09:15:00.250"); the text is kept whole (DateTime holds whole seconds, and
-- an agent's odd time must not fail the batch's insert) and read leniently
-- into ts_time, a zero date when it cannot be read, for sorting and
-- partitions. inserted_at is stamped by the server (MATERIALIZED, as a
-- DEFAULT left out of a JSONEachRow insert would store zero).
CREATE DATABASE IF NOT EXISTS origin;

CREATE TABLE IF NOT EXISTS origin.ai_events
(
    tenant_id String,
    user_id String,
    event_id String,
    ts String,
    host String,
    os_user String,
    session_id String,
    agent String,
    agent_version String,
    model String,
    event_type String,
    tool_name String,
    tool_use_id String,
    tool_input String,
    text String,
    duration_ms Int64,
    input_tokens Int64,
    output_tokens Int64,
    cost_usd Float64,
    is_error UInt8,
    ts_time DateTime('UTC') MATERIALIZED parseDateTimeBestEffortOrZero(ts, 'UTC'),
    inserted_at DateTime MATERIALIZED now()
)
ENGINE = MergeTree
PARTITION BY toYYYYMM(ts_time)
ORDER BY (tenant_id, ts_time, session_id);

CREATE TABLE IF NOT EXISTS origin.ai_signals
(
    tenant_id String,
    user_id String,
    signal_id String,
    ts String,
    session_id String,
    event_id String,
    rule String,
    severity String,
    title String,
    detail String,
    field String,
    match_offset Int64,
    match_len Int64,
    host String,
    os_user String,
    ts_time DateTime('UTC') MATERIALIZED parseDateTimeBestEffortOrZero(ts, 'UTC'),
    inserted_at DateTime MATERIALIZED now()
)
ENGINE = MergeTree
PARTITION BY toYYYYMM(ts_time)
ORDER BY (tenant_id, ts_time, session_id);
