#!/usr/bin/env bash
# Runs Debian's clickhouse-server in the foreground on 127.0.0.1 with all of
# its files below one folder.
set -euo pipefail
dir=$1 http_port=$2
mkdir -p "$dir/data" "$dir/tmp" "$dir/log" "$dir/user_files" "$dir/format_schemas"
cat > "$dir/users.xml" <<XML
<yandex>
  <profiles><default/><readonly><readonly>1</readonly></readonly></profiles>
  <users>
    <default><password></password><networks><ip>127.0.0.1</ip><ip>::1</ip></networks>
      <profile>default</profile><quota>default</quota></default>
  </users>
  <quotas><default/></quotas>
</yandex>
XML
cat > "$dir/config.xml" <<XML
<yandex>
  <logger><level>warning</level><log>$dir/log/server.log</log><errorlog>$dir/log/error.log</errorlog></logger>
  <listen_host>127.0.0.1</listen_host>
  <http_port>$http_port</http_port>
  <tcp_port>$((http_port + 777))</tcp_port>
  <path>$dir/data/</path>
  <tmp_path>$dir/tmp/</tmp_path>
  <user_files_path>$dir/user_files/</user_files_path>
  <format_schema_path>$dir/format_schemas/</format_schema_path>
  <users_config>$dir/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <mark_cache_size>268435456</mark_cache_size>
</yandex>
XML
exec clickhouse-server --config-file="$dir/config.xml"
