-- The customer tables of the data lake that agents may query through the
-- gateway's MCP server, one row per trade and per captured communication.
-- Every row carries its desk (fx, rates, credit, equities), which the desk
-- identities of the database filter on, and its time ts.
CREATE DATABASE IF NOT EXISTS datalake;

CREATE TABLE IF NOT EXISTS datalake.trade_blotter
(
    ts DateTime,
    trade_id String,
    desk String,
    trader String,
    symbol String,
    side String,
    qty Float64,
    price Float64,
    notional Float64,
    counterparty String,
    status String
)
ENGINE = MergeTree
ORDER BY (desk, ts);

CREATE TABLE IF NOT EXISTS datalake.comms_surveillance
(
    ts DateTime,
    msg_id String,
    channel String,
    desk String,
    sender String,
    recipient String,
    flagged UInt8,
    risk_score UInt8,
    summary String
)
ENGINE = MergeTree
ORDER BY (desk, ts);
